// SPDX-License-Identifier: LGPL-2.1-or-later
// The reader handles' USB link.
#include "usb_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <libusb.h>

#include "diag.h"
#include "frame.h"
#include "timing.h"
#include "usb_device.h"
#include "vessik_read.h"
#include "vessik_usb_ids.h"
#include "wipe.h"

// libusb_open is beyond the libusb functions a loading program must supply:
// referenced weakly, a program that supplies only those still loads (also
// bound at once, -z now), and a reader handle then cannot open a reader.
#pragma weak libusb_open

namespace vessik {
namespace {

using namespace usb;

using diag::kLogDebug;
using diag::kLogInfo;
using diag::kLogWarning;

// How the trace names the two stages of a frame each way.
constexpr char kTraceOutStages[] = "02+06";
constexpr char kTraceInStages[] = "81+85";

// A stale answer is drained with waits this short, a few stages at most.
constexpr unsigned kDrainWaitMs = 1;
constexpr int kDrainStagesMax = 8;

bool CanOpenDevices()
{
    return &libusb_open != nullptr;
}

bool IsReaderId(uint16_t vendor_id, uint16_t product_id)
{
    for (const ReaderUsbId &id : kReaderUsbIds) {
        if (id.vendor == vendor_id && id.product == product_id)
            return true;
    }
    return false;
}

// The most readers one look at the bus puts in order; any more are counted
// but neither listed nor opened.
constexpr int kMaxOrderedReaders = 64;

// A reader on the bus, with the numbers its place sorts by.
struct PlacedReader {
    libusb_device *device;
    UsbReaderFound found;
    int bus;
    uint8_t ports[kMaxPortDepth];
    int port_count;
};

// The reader's ids and place, false for a device that is not a reader.
bool DescribeReader(libusb_device *device, PlacedReader *out)
{
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 ||
        !IsReaderId(descriptor.idVendor, descriptor.idProduct))
        return false;
    out->device = device;
    out->bus = libusb_get_bus_number(device);
    out->port_count = libusb_get_port_numbers(device, out->ports, kMaxPortDepth);
    if (out->port_count <= 0 || !FormatUsbLocation(out->bus, out->ports, out->port_count,
                                                   out->found.location, sizeof out->found.location))
        return false;
    out->found.vendor_id = descriptor.idVendor;
    out->found.product_id = descriptor.idProduct;
    return true;
}

// By bus, then port by port: the order libusb lists devices in is its own.
bool InBusOrder(const PlacedReader &a, const PlacedReader &b)
{
    if (a.bus != b.bus)
        return a.bus < b.bus;
    return std::lexicographical_compare(a.ports, a.ports + a.port_count, b.ports,
                                        b.ports + b.port_count);
}

// The readers among `listed` devices, in bus order, into `placed` (room for
// kMaxOrderedReaders); `*placed_count` says how many went there. Returns
// how many readers there are.
int PlaceReaders(libusb_device *const *devices, ssize_t listed, PlacedReader *placed,
                 int *placed_count)
{
    int count = 0;
    *placed_count = 0;
    for (ssize_t i = 0; i < listed; ++i) {
        PlacedReader reader{};
        if (!DescribeReader(devices[i], &reader))
            continue;
        ++count;
        if (*placed_count < kMaxOrderedReaders)
            placed[(*placed_count)++] = reader;
    }
    std::sort(placed, placed + *placed_count, InBusOrder);
    return count;
}

bool LocationMatches(const Location &where, const char *location)
{
    if (where.kind == LocationKind::UsbFirst)
        return true;
    char wanted[kLocationBytes];
    return FormatUsbLocation(where.bus, where.ports, where.port_count, wanted, sizeof wanted) &&
           strcmp(wanted, location) == 0;
}

int CodeForOpenError(int libusb_code)
{
    switch (libusb_code) {
    case LIBUSB_ERROR_ACCESS:
        return VESSIK_E_ACCESS;
    case LIBUSB_ERROR_BUSY:
        return VESSIK_E_READER_IN_USE;
    default:
        return VESSIK_E_NO_READER;
    }
}

} // namespace

int ListUsbReaders(void (*found)(const UsbReaderFound &reader, void *context), void *context)
{
    libusb_context *usb_context = nullptr;
    if (libusb_init(&usb_context) < 0)
        return VESSIK_E_NO_READER;
    libusb_device **devices = nullptr;
    const ssize_t listed = libusb_get_device_list(usb_context, &devices);
    if (listed < 0) {
        libusb_exit(usb_context);
        return VESSIK_E_NO_READER;
    }
    PlacedReader placed[kMaxOrderedReaders];
    int placed_count = 0;
    const int count = PlaceReaders(devices, listed, placed, &placed_count);
    for (int i = 0; i < placed_count && found != nullptr; ++i)
        found(placed[i].found, context);
    libusb_free_device_list(devices, 1);
    libusb_exit(usb_context);
    return count;
}

UsbReaderLink::~UsbReaderLink()
{
    Close();
}

int UsbReaderLink::Open()
{
    const Location &where = where_;
    Close();
    if (!CanOpenDevices()) {
        diag::Log(kLogWarning, "the program supplies no libusb_open: reader handles need it");
        return VESSIK_E_NOT_SUPPORTED;
    }
    libusb_context *usb_context = nullptr;
    if (libusb_init(&usb_context) < 0) {
        diag::Log(kLogWarning, "libusb cannot start");
        return VESSIK_E_NO_READER;
    }
    context_ = usb_context;
    libusb_device **devices = nullptr;
    const ssize_t listed = libusb_get_device_list(usb_context, &devices);
    if (listed < 0) {
        Close();
        return VESSIK_E_NO_READER;
    }
    // "usb" takes the first reader in bus order that opens; a location names
    // exactly one.
    PlacedReader placed[kMaxOrderedReaders];
    int placed_count = 0;
    PlaceReaders(devices, listed, placed, &placed_count);
    int result = VESSIK_E_NO_READER;
    for (int i = 0; i < placed_count && result != VESSIK_OK; ++i) {
        const UsbReaderFound &reader = placed[i].found;
        if (!LocationMatches(where, reader.location))
            continue;
        const int opened = OpenDevice(placed[i].device);
        if (opened == VESSIK_OK) {
            memcpy(location_, reader.location, sizeof location_);
            vendor_id_ = reader.vendor_id;
            product_id_ = reader.product_id;
            diag::LogFormat(kLogInfo, "opened the reader at %s", location_);
        } else {
            diag::LogFormat(kLogInfo, "the reader at %s does not open: %s", reader.location,
                            vessik_strerror(opened));
        }
        if (result == VESSIK_E_NO_READER || opened == VESSIK_OK)
            result = opened;
    }
    libusb_free_device_list(devices, 1);
    if (result != VESSIK_OK)
        Close();
    return result;
}

int UsbReaderLink::OpenDevice(libusb_device *device)
{
    libusb_device_handle *handle = nullptr;
    const int opened = libusb_open(device, &handle);
    if (opened != 0)
        return CodeForOpenError(opened);
    const int claimed = ClaimReader(handle, ClaimVoice::Quiet);
    if (claimed != 0) {
        libusb_close(handle);
        return CodeForOpenError(claimed);
    }
    handle_ = handle;
    answer_abandoned_ = false;
    return VESSIK_OK;
}

void UsbReaderLink::Describe(vessik_reader_info *info) const
{
    info->transport = VESSIK_TRANSPORT_USB;
    snprintf(info->location, sizeof info->location, "%s", location_);
    info->vendor_id = vendor_id_;
    info->product_id = product_id_;
}

void UsbReaderLink::Close()
{
    ReleaseReader(&handle_);
    EndContext(&context_);
}

SendResult UsbReaderLink::Send(const unsigned char *frame, int len)
{
    if (!IsOpen())
        return SendResult::Lost;
    if (answer_abandoned_)
        DrainStale();
    trace_.Out(kTraceOutStages, frame, len);
    const int written = WriteFrame(handle_, frame, len);
    if (written == LIBUSB_ERROR_NO_DEVICE)
        return SendResult::Lost;
    return written < 0 ? SendResult::Failed : SendResult::Sent;
}

UsbReaderLink::StageResult UsbReaderLink::ReceiveStage(unsigned char endpoint, unsigned char *dest,
                                                       int room, int *count, int *left_ms,
                                                       const AnswerWait &wait)
{
    while (*left_ms > 0) {
        const int slice_ms = wait.slice_ms > 0 ? std::min(wait.slice_ms, *left_ms) : *left_ms;
        *count = 0;
        const uint64_t started = MonotonicUs();
        const int rc =
            ReadStage(handle_, endpoint, dest, room, count, static_cast<unsigned>(slice_ms));
        if (rc == 0 || (rc == LIBUSB_ERROR_TIMEOUT && *count > 0))
            return StageResult::Ok;
        if (rc == LIBUSB_ERROR_NO_DEVICE)
            return StageResult::Lost;
        if (rc != LIBUSB_ERROR_TIMEOUT) {
            diag::LogFormat(kLogDebug, "IN %02x failed: libusb error %d", endpoint, rc);
            return StageResult::Failed;
        }
        // A timed-out slice counts as at least its own length, however soon
        // the transfer came back.
        const int took_ms = static_cast<int>((MonotonicUs() - started) / 1000u);
        *left_ms -= std::max(took_ms, slice_ms);
        if (wait.should_stop != nullptr && wait.should_stop(wait.context))
            return StageResult::Stopped;
    }
    return StageResult::Nothing;
}

int UsbReaderLink::Receive(unsigned char *buf, int capacity, const AnswerWait &wait)
{
    if (!IsOpen() || buf == nullptr || capacity < kFrameHeaderBytes)
        return kReceiveNothing;
    // The header stage lands at the start and the body from offset 7 on, as
    // the documented read places them; the body may take the whole rest of
    // the buffer, so long answers (fingerprints) fit a large one.
    unsigned char header[kInStageBytes];
    int count = 0;
    int left_ms = std::max(wait.budget_ms, wait.stage_ms);
    StageResult r = ReceiveStage(kEndpointHeaderIn, header, sizeof header, &count, &left_ms, wait);
    const bool heard = r == StageResult::Ok;
    if (heard) {
        trace_.FirstPiece();
        memcpy(buf, header, static_cast<size_t>(std::min(count, kFrameHeaderBytes)));
        // The body gets whatever is left of the budget, and never less than
        // the documented read would give it.
        left_ms = std::max(left_ms, wait.stage_ms);
        r = ReceiveStage(kEndpointBodyIn, buf + kFrameHeaderBytes, capacity - kFrameHeaderBytes,
                         &count, &left_ms, wait);
        if (wait.whole_frame && r == StageResult::Ok)
            r = ReceiveRestOfBody(buf, capacity, &count, &left_ms, wait);
    }
    WipeSecret(header, sizeof header);
    const bool arrived = r == StageResult::Ok || r == StageResult::Cut;
    trace_.In(kTraceInStages, buf, arrived ? count + kFrameHeaderBytes : 0);
    switch (r) {
    case StageResult::Ok:
        return count + kFrameHeaderBytes;
    case StageResult::Cut:
        // What came is handed on, for the shape checks to refuse; the rest
        // may still arrive and is dropped before the next command.
        answer_abandoned_ = true;
        return count + kFrameHeaderBytes;
    case StageResult::Lost:
        return kReceiveLost;
    case StageResult::Stopped:
        answer_abandoned_ = true;
        return kReceiveStopped;
    case StageResult::Nothing:
        answer_abandoned_ = true;
        return heard ? kReceiveDamaged : kReceiveNothing;
    default:
        answer_abandoned_ = true;
        return kReceiveDamaged;
    }
}

UsbReaderLink::StageResult UsbReaderLink::ReceiveRestOfBody(unsigned char *buf, int capacity,
                                                            int *count, int *left_ms,
                                                            const AnswerWait &wait)
{
    if (!frame::StartsWithPreamble(buf, kFrameHeaderBytes))
        return StageResult::Ok; // no length to go by: the shape checks judge it
    const int announced = buf[frame::kPosLengthHigh] << 8 | buf[frame::kPosLengthLow];
    const int wanted = std::min(announced, capacity - kFrameHeaderBytes);
    // A slice that ran out while the module was still sending delivered a
    // piece; the rest follows in later transfers.
    while (*count < wanted) {
        int more = 0;
        const StageResult r =
            ReceiveStage(kEndpointBodyIn, buf + kFrameHeaderBytes + *count,
                         capacity - kFrameHeaderBytes - *count, &more, left_ms, wait);
        if (r != StageResult::Ok)
            return r == StageResult::Nothing ? StageResult::Cut : r;
        if (more == 0)
            return StageResult::Cut; // an empty transfer: the module has ended it
        *count += more;
    }
    return StageResult::Ok;
}

void UsbReaderLink::DrainStale()
{
    unsigned char staging[kInStageBytes];
    int dropped = 0;
    for (const unsigned char endpoint : {kEndpointHeaderIn, kEndpointBodyIn}) {
        for (int i = 0; i < kDrainStagesMax; ++i) {
            int count = 0;
            if (ReadStage(handle_, endpoint, staging, kInStageBytes, &count, kDrainWaitMs) != 0)
                break;
            ++dropped;
        }
    }
    // What was dropped may have been a card.
    WipeSecret(staging, sizeof staging);
    if (dropped > 0)
        diag::LogFormat(kLogDebug, "dropped %d stage(s) of an answer given up", dropped);
    answer_abandoned_ = false;
}

} // namespace vessik
