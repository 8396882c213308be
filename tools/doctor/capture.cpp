// SPDX-License-Identifier: LGPL-2.1-or-later
// The capture: frames from the library's trace, redacted as they arrive.
#include "capture.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <libusb.h>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "capture_format.h"
#include "capture_record.h"
#include "exit_status.h"
#include "monotonic_clock.h"
#include "private_file.h"
#include "reader_list.h"
#include "vessik_read.h"

namespace doctor {
namespace {

using nlohmann::json;

constexpr size_t kStringBytes = 256;
constexpr const char *kUsbPrefix = "usb";

// Frames as they came, already redacted, with when and in which read.
struct Recorded {
    TracedFrame frame;
    Redaction redaction = Redaction::Kept;
    int read = 0; // 0: opening the reader
    uint64_t at_us = 0;
};

struct Recorder {
    std::mutex mu;
    bool keep_module_id = false;
    int read = 0;
    MonotonicClock clock; // started when the reader is opened
    std::vector<Recorded> frames;
};

// The log handler: only frame lines are taken, and each is redacted before
// it is kept. Nothing else the library says reaches the capture.
void OnLog(int level, const char *message, void *context)
{
    if (level != VESSIK_LOG_TRACE)
        return;
    Recorded r;
    if (!ParseTraceLine(message, &r.frame))
        return;
    Recorder *recorder = static_cast<Recorder *>(context);
    const std::lock_guard<std::mutex> lock(recorder->mu);
    r.redaction = Redact(r.frame, recorder->keep_module_id);
    r.read = recorder->read;
    r.at_us = recorder->clock.now_us();
    recorder->frames.push_back(std::move(r));
}

vessik_reader *g_reader = nullptr;

void OnInterrupt(int)
{
    if (g_reader != nullptr)
        vessik_reader_cancel(g_reader);
}

std::string Hex4(unsigned value)
{
    char text[8];
    snprintf(text, sizeof text, "%04x", value);
    return text;
}

// A string descriptor, or "" when the device has none or does not answer.
std::string StringDescriptor(libusb_device_handle *handle, uint8_t index)
{
    if (handle == nullptr || index == 0)
        return "";
    unsigned char text[kStringBytes] = {};
    const int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
    return n > 0 ? std::string(reinterpret_cast<char *>(text), static_cast<size_t>(n)) : "";
}

json EndpointsOf(const libusb_interface_descriptor &alt)
{
    json endpoints = json::array();
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor &ep = alt.endpoint[e];
        endpoints.push_back({{"bEndpointAddress", ep.bEndpointAddress},
                             {"bmAttributes", ep.bmAttributes},
                             {"wMaxPacketSize", ep.wMaxPacketSize},
                             {"bInterval", ep.bInterval}});
    }
    return endpoints;
}

json ConfigurationOf(const libusb_config_descriptor &config)
{
    json interfaces = json::array();
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        for (int a = 0; a < config.interface[i].num_altsetting; ++a) {
            const libusb_interface_descriptor &alt = config.interface[i].altsetting[a];
            interfaces.push_back({{"bInterfaceNumber", alt.bInterfaceNumber},
                                  {"bAlternateSetting", alt.bAlternateSetting},
                                  {"bInterfaceClass", alt.bInterfaceClass},
                                  {"bInterfaceSubClass", alt.bInterfaceSubClass},
                                  {"bInterfaceProtocol", alt.bInterfaceProtocol},
                                  {"endpoints", EndpointsOf(alt)}});
        }
    }
    return {{"bConfigurationValue", config.bConfigurationValue},
            {"bmAttributes", config.bmAttributes},
            {"MaxPower", config.MaxPower},
            {"interfaces", interfaces}};
}

// The reader's descriptors. The serial number's string is never asked for:
// only whether the device has one.
json UsbDescriptors(libusb_device *dev)
{
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(dev, &d) != 0)
        return {{"kind", "usb_device"}, {"error", "no device descriptor"}};
    libusb_device_handle *handle = nullptr;
    if (libusb_open(dev, &handle) != 0)
        handle = nullptr;
    json device = {{"kind", "usb_device"},
                   {"bcdUSB", Hex4(d.bcdUSB)},
                   {"bDeviceClass", d.bDeviceClass},
                   {"bDeviceSubClass", d.bDeviceSubClass},
                   {"bDeviceProtocol", d.bDeviceProtocol},
                   {"bMaxPacketSize0", d.bMaxPacketSize0},
                   {"idVendor", Hex4(d.idVendor)},
                   {"idProduct", Hex4(d.idProduct)},
                   {"bcdDevice", Hex4(d.bcdDevice)},
                   {"iManufacturer", d.iManufacturer},
                   {"iProduct", d.iProduct},
                   {"iSerialNumber", d.iSerialNumber},
                   {"bNumConfigurations", d.bNumConfigurations},
                   {"manufacturer", StringDescriptor(handle, d.iManufacturer)},
                   {"product", StringDescriptor(handle, d.iProduct)},
                   {"serial_number", d.iSerialNumber != 0 ? "removed" : "none"},
                   {"speed", libusb_get_device_speed(dev)}};
    if (handle != nullptr)
        libusb_close(handle);
    json configurations = json::array();
    for (uint8_t c = 0; c < d.bNumConfigurations; ++c) {
        libusb_config_descriptor *config = nullptr;
        if (libusb_get_config_descriptor(dev, c, &config) != 0)
            continue;
        configurations.push_back(ConfigurationOf(*config));
        libusb_free_config_descriptor(config);
    }
    device["configurations"] = configurations;
    return device;
}

json DescriptorsAt(const char *location)
{
    if (strncmp(location, kUsbPrefix, strlen(kUsbPrefix)) != 0)
        return {{"kind", "serial_port"}, {"note", "a serial module has no USB descriptors"}};
    const std::string where = location;
    libusb_context *context = nullptr;
    if (libusb_init(&context) < 0)
        return {{"kind", "usb_device"}, {"error", "libusb_init failed"}};
    libusb_device **all = nullptr;
    json result = {{"kind", "usb_device"}, {"error", "not found on the bus"}};
    if (libusb_get_device_list(context, &all) >= 0) {
        if (libusb_device *dev = vessik_tools::device_at(all, where))
            result = UsbDescriptors(dev);
        libusb_free_device_list(all, 1);
    }
    libusb_exit(context);
    return result;
}

json FrameRecord(const Recorded &r)
{
    const TracedFrame &f = r.frame;
    return capture_format::FrameRecord({r.read, r.at_us, f.answer, f.link, f.stage, f.command,
                                        f.first_us, f.last_us, f.length, f.bytes,
                                        RedactionName(r.redaction)});
}

// Per command, the answers' times to their first and to their last byte.
std::vector<json> AnswerTimes(const std::vector<Recorded> &frames)
{
    std::map<std::string, std::pair<std::vector<long long>, std::vector<long long>>> by_command;
    for (const Recorded &r : frames) {
        if (r.frame.answer && r.frame.first_us >= 0) {
            auto &times = by_command[capture_format::CommandHex(r.frame.command)];
            times.first.push_back(r.frame.first_us);
            times.second.push_back(r.frame.last_us);
        }
    }
    std::vector<json> lines;
    for (const auto &entry : by_command) {
        lines.push_back(capture_format::AnswerTimesRecord(
            entry.first, capture_format::StatsOf(entry.second.first),
            capture_format::StatsOf(entry.second.second)));
    }
    return lines;
}

// What the redaction did, per command, for the file and for the user.
json RedactionSummary(const std::vector<Recorded> &frames, bool keep_module_id)
{
    std::map<std::string, std::set<std::string>> by_command;
    for (const Recorded &r : frames) {
        if (r.frame.answer)
            by_command[capture_format::CommandHex(r.frame.command)].insert(
                RedactionName(r.redaction));
    }
    json answers = json::object();
    for (const auto &entry : by_command)
        answers[entry.first] = entry.second;
    return capture_format::RedactionRecord(answers, keep_module_id);
}

void PrintRedaction(const std::vector<Recorded> &frames, bool keep_module_id)
{
    std::map<Redaction, std::set<std::string>> commands;
    for (const Recorded &r : frames) {
        if (r.frame.answer)
            commands[r.redaction].insert(capture_format::CommandHex(r.frame.command));
    }
    const auto list = [&commands](Redaction r) {
        std::string text;
        for (const std::string &c : commands[r])
            text += " " + c;
        return text.empty() ? std::string(" none") : text;
    };
    printf("replaced: the card's text, photo, fingerprint templates and appended address "
           "(answers to%s) by the sample card's, check bytes recomputed\n",
           list(Redaction::SampleCard).c_str());
    if (keep_module_id)
        puts("kept: the module's identifier (--keep-module-id)");
    else
        printf("replaced: the module's identifier by zeros of its length (answers to%s)\n",
               list(Redaction::ModuleIdZeroed).c_str());
    if (!commands[Redaction::PayloadZeroed].empty())
        printf("replaced: by zeros, the data of any other answer that carried some "
               "(answers to%s)\n",
               list(Redaction::PayloadZeroed).c_str());
    printf("kept: the commands, the answers' lengths and status bytes, the answers to%s as "
           "they came, and every frame's timing\n",
           list(Redaction::Kept).c_str());
    puts("removed: the USB serial number's string (never read)");
}

// The capture's text, one JSON object a line.
std::string CaptureText(const CaptureOptions &options, const json &header, const json &descriptors,
                        const std::vector<Recorded> &frames)
{
    std::vector<json> lines = {header, descriptors};
    for (const Recorded &r : frames)
        lines.push_back(FrameRecord(r));
    for (json &stats : AnswerTimes(frames))
        lines.push_back(std::move(stats));
    lines.push_back(RedactionSummary(frames, options.keep_module_id));
    return capture_format::Text(lines);
}

// A frame long enough for the card's text under a command that does not read
// the card (a late answer, or a module of its own kind): its zeroed payload
// would be our guess, so no capture holds it. Null when there is none.
const Recorded *FrameThatMayHoldCardText(const std::vector<Recorded> &frames)
{
    for (const Recorded &r : frames) {
        if (MayHoldCardText(r.frame))
            return &r;
    }
    return nullptr;
}

// One read; the card is wiped as soon as it is judged.
int ReadOnce(vessik_reader *reader, Recorder &recorder, int n, int of)
{
    printf("Lay the card on the reader (read %d of %d).\n", n, of);
    fflush(stdout);
    {
        const std::lock_guard<std::mutex> lock(recorder.mu);
        recorder.read = n;
    }
    vessik_read_options options;
    vessik_read_options_init(&options);
    options.want_fingerprints = 1;
    options.want_appended_address = 1;
    // The answers' times are then the module's own: what a capture is for.
    options.answer_driven = 1;
    vessik_card card;
    vessik_card_init(&card);
    const int rc = vessik_reader_read(reader, &options, &card);
    explicit_bzero(&card, sizeof card);
    if (rc != VESSIK_OK) {
        printf("read %d of %d failed: %s\n", n, of, vessik_strerror(rc));
        return rc;
    }
    printf("Read %d of %d done: lift the card off the reader.\n", n, of);
    fflush(stdout);
    return VESSIK_OK;
}

} // namespace

int RunCapture(const CaptureOptions &options)
{
    Recorder recorder;
    recorder.keep_module_id = options.keep_module_id;
    recorder.clock = MonotonicClock();
    vessik_set_log_handler(VESSIK_LOG_TRACE, OnLog, &recorder);

    vessik_reader *reader = nullptr;
    const int opened = vessik_reader_open(options.reader.c_str(), &reader);
    if (opened != VESSIK_OK) {
        vessik_set_log_handler(0, nullptr, nullptr);
        printf("no capture: the reader %s does not open (%s)\n", options.reader.c_str(),
               vessik_strerror(opened));
        return kExitNoReader;
    }
    vessik_reader_info info;
    vessik_reader_info_init(&info);
    vessik_reader_get_info(reader, &info);
    const json descriptors = DescriptorsAt(info.location);

    g_reader = reader;
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    int rc = VESSIK_OK;
    int n = 1;
    for (; n <= options.reads && rc == VESSIK_OK; ++n)
        rc = ReadOnce(reader, recorder, n, options.reads);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    g_reader = nullptr;
    vessik_reader_close(reader);
    vessik_set_log_handler(0, nullptr, nullptr);
    if (rc != VESSIK_OK) {
        printf("no capture written: read %d of %d failed\n", n - 1, options.reads);
        return kExitCaptureFailed;
    }

    const json header = capture_format::HeaderRecord(
        {VESSIK_KIT_VERSION, vessik_read_api_version(), options.reads,
         info.transport == VESSIK_TRANSPORT_SERIAL, info.module_id_len, true});
    if (const Recorded *r = FrameThatMayHoldCardText(recorder.frames)) {
        printf("no capture written: a %zu-byte %s came after command %s, which does not read "
               "the card, in read %d; a frame that long could carry the card's text\n",
               FrameLength(r->frame), r->frame.answer ? "answer" : "command",
               capture_format::CommandHex(r->frame.command).c_str(), r->read);
        return kExitCaptureFailed;
    }
    const std::string text = CaptureText(options, header, descriptors, recorder.frames);
    if (!vessik_tools::write_new_private_file(options.file, text)) {
        if (errno == EEXIST)
            printf("no capture written: %s exists; it is not replaced (name a new file)\n",
                   options.file.c_str());
        else
            printf("no capture written: %s: %s\n", options.file.c_str(), strerror(errno));
        return kExitCaptureFailed;
    }
    PrintRedaction(recorder.frames, options.keep_module_id);
    printf("capture written: %s (%zu frames, %d reads)\n", options.file.c_str(),
           recorder.frames.size(), options.reads);
    return kExitCaptured;
}

} // namespace doctor
