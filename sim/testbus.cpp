// SPDX-License-Identifier: LGPL-2.1-or-later
// The test USB bus: libusb's functions served from virtual readers, plus
// usleep()/sleep() on a virtual clock.
#include "testbus.h"

#include <dlfcn.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>

// The opaque libusb types, as the bus keeps them. Objects are never freed, so
// a pointer the code under test kept across reset() stays safe to pass back.
struct libusb_context {
    uint64_t generation = 0;
    bool open = true;
};

struct libusb_device {
    testbus::Device setup;
};

struct libusb_device_handle {
    libusb_device *dev = nullptr;
    uint64_t generation = 0;
    bool open = true;
};

namespace testbus {
namespace {

constexpr uint64_t kUsPerMs = 1000;
constexpr uint64_t kUsPerSecond = 1000000;
constexpr size_t kFormatDataBytes = 24; // bytes shown by format_call before "..."

// The descriptor of the reader: full speed, one configuration.
constexpr uint16_t kBcdUsb = 0x0200;
constexpr uint8_t kMaxPacket0 = 64;
constexpr uint16_t kBcdDevice = 0x0100;

struct Injection {
    int code;
    int times; // -1: every call
};

struct State {
    std::mutex mu;
    uint64_t generation = 1;
    std::vector<libusb_device *> devices; // on the bus now
    std::set<const libusb_device *> known_devices;
    std::vector<std::unique_ptr<libusb_device>> device_store;
    std::vector<std::unique_ptr<libusb_context>> context_store;
    std::vector<std::unique_ptr<libusb_device_handle>> handle_store;
    std::vector<std::unique_ptr<std::vector<libusb_device *>>> list_store;
    std::set<libusb_device **> open_lists;
    libusb_device **last_list = nullptr;
    std::vector<libusb_device *> own_list;
    int default_context_refs = 0;

    std::vector<Call> calls;
    std::vector<Sleep> sleeps;
    uint64_t seq = 0;
    uint64_t clock_us = 0;
    bool fast_sleep = true;
    std::map<std::string, std::deque<Injection>> injections;
    InFilter in_filter;

    int open_contexts = 0;
    int open_handles = 0;
    int lists_outstanding = 0;
    int misuse = 0;
};

// Never destroyed: the library's own globals call in here at process exit.
State &st()
{
    static State *state = new State;
    return *state;
}

std::string hex8(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

int to_libusb(vsim::UsbStatus s)
{
    switch (s) {
    case vsim::UsbStatus::Ok:
        return LIBUSB_SUCCESS;
    case vsim::UsbStatus::NothingReady:
    case vsim::UsbStatus::Timeout:
        return LIBUSB_ERROR_TIMEOUT;
    case vsim::UsbStatus::Stall:
        return LIBUSB_ERROR_PIPE;
    case vsim::UsbStatus::NoDevice:
        return LIBUSB_ERROR_NO_DEVICE;
    case vsim::UsbStatus::IoError:
        return LIBUSB_ERROR_IO;
    case vsim::UsbStatus::Access:
        return LIBUSB_ERROR_ACCESS;
    case vsim::UsbStatus::Busy:
        return LIBUSB_ERROR_BUSY;
    case vsim::UsbStatus::NotFound:
        return LIBUSB_ERROR_NOT_FOUND;
    case vsim::UsbStatus::Overflow:
        return LIBUSB_ERROR_OVERFLOW;
    case vsim::UsbStatus::InvalidParam:
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    return LIBUSB_ERROR_OTHER;
}

Call begin(const char *name, std::string args = "")
{
    Call call;
    call.name = name;
    call.args = std::move(args);
    return call;
}

// Records the call and hands its result back.
long finish(Call &call, long result)
{
    State &s = st();
    call.seq = ++s.seq;
    call.at_us = s.clock_us;
    call.result = result;
    s.calls.push_back(call);
    return result;
}

// True (and `code` set) when a fail_next injection applies to this call.
bool injected(const std::string &name, int &code)
{
    auto it = st().injections.find(name);
    if (it == st().injections.end() || it->second.empty())
        return false;
    Injection &inj = it->second.front();
    code = inj.code;
    if (inj.times > 0 && --inj.times == 0)
        it->second.pop_front();
    return true;
}

bool context_ok(const libusb_context *ctx)
{
    State &s = st();
    bool ok = false;
    if (ctx == nullptr) {
        ok = s.default_context_refs > 0;
    } else {
        for (const auto &c : s.context_store) {
            if (c.get() == ctx)
                ok = c->open && c->generation == s.generation;
        }
    }
    if (!ok)
        ++s.misuse;
    return ok;
}

bool handle_ok(const libusb_device_handle *h)
{
    State &s = st();
    for (const auto &owned : s.handle_store) {
        if (owned.get() == h && owned->open && owned->generation == s.generation)
            return true;
    }
    ++s.misuse;
    return false;
}

bool device_ok(const libusb_device *dev)
{
    if (st().known_devices.count(dev) != 0)
        return true;
    ++st().misuse;
    return false;
}

// The reader behind an open handle, or nullptr when it has left the bus.
vsim::VirtualReader *reader_of(const libusb_device_handle *h)
{
    return h->dev->setup.reader;
}

// Runs `request` on the handle's reader and records the call; the common shape
// of the device requests below.
template <typename Request>
int device_request(const char *name, libusb_device_handle *h, std::string args, Request request)
{
    std::lock_guard<std::mutex> lock(st().mu);
    Call call = begin(name, std::move(args));
    int code = 0;
    if (injected(name, code))
        return static_cast<int>(finish(call, code));
    if (!handle_ok(h))
        return static_cast<int>(finish(call, LIBUSB_ERROR_INVALID_PARAM));
    vsim::VirtualReader *reader = reader_of(h);
    if (reader == nullptr)
        return static_cast<int>(finish(call, LIBUSB_ERROR_NO_DEVICE));
    return static_cast<int>(finish(call, request(*reader)));
}

// A device request whose one argument the model takes as it is: an interface
// or a configuration number.
int numbered_request(const char *name, libusb_device_handle *h, const char *label, int number,
                     vsim::UsbStatus (vsim::VirtualReader::*call)(int))
{
    return device_request(name, h, label + std::to_string(number),
                          [&](vsim::VirtualReader &r) { return to_libusb((r.*call)(number)); });
}

void retire_devices()
{
    for (libusb_device *dev : st().devices)
        dev->setup.reader = nullptr; // handles on it now answer NO_DEVICE
    st().devices.clear();
    st().own_list.clear();
}

void add_device(const Device &setup)
{
    auto dev = std::make_unique<libusb_device>();
    dev->setup = setup;
    st().devices.push_back(dev.get());
    st().known_devices.insert(dev.get());
    st().device_store.push_back(std::move(dev));
}

size_t retained_objects_locked()
{
    const State &s = st();
    return s.context_store.size() + s.handle_store.size() + s.device_store.size() +
           s.list_store.size();
}

// Drops the owned objects that `doomed` picks.
template <typename T, typename Pred>
void erase_if_unique(std::vector<std::unique_ptr<T>> &store, Pred doomed)
{
    store.erase(std::remove_if(store.begin(), store.end(),
                               [&](const std::unique_ptr<T> &p) { return doomed(*p); }),
                store.end());
}

// Lets the IN filter rewrite a stage the reader answered. `stage` holds what
// was delivered; returns true when the filter changed it.
bool filter_in_stage(uint8_t ep, std::vector<uint8_t> &stage)
{
    const InFilter &filter = st().in_filter;
    if (!filter)
        return false;
    const std::vector<uint8_t> before = stage;
    filter(ep, stage);
    return stage != before;
}

bool enumerated(const libusb_device *dev)
{
    return dev->setup.reader == nullptr || dev->setup.reader->present();
}

// A handle on `dev`, counted as open until libusb_close. Under the mutex.
libusb_device_handle *new_handle(libusb_device *dev)
{
    auto h = std::make_unique<libusb_device_handle>();
    h->dev = dev;
    h->generation = st().generation;
    libusb_device_handle *out = h.get();
    st().handle_store.push_back(std::move(h));
    ++st().open_handles;
    return out;
}

template <typename Real> Real real_function(const char *name)
{
    return reinterpret_cast<Real>(dlsym(RTLD_NEXT, name));
}

// Records a sleep, moves the clock on, and tells whether to really sleep.
bool record_sleep(uint64_t us)
{
    std::lock_guard<std::mutex> lock(st().mu);
    State &s = st();
    Sleep sleep_record;
    sleep_record.seq = ++s.seq;
    sleep_record.at_us = s.clock_us;
    sleep_record.us = us;
    sleep_record.real = !s.fast_sleep;
    s.sleeps.push_back(sleep_record);
    s.clock_us += us;
    return !s.fast_sleep;
}

} // namespace

// --- Control API ---------------------------------------------------------------------

void reset()
{
    std::lock_guard<std::mutex> lock(st().mu);
    State &s = st();
    retire_devices();
    ++s.generation;
    s.list_store.clear();
    s.open_lists.clear();
    s.last_list = nullptr;
    s.default_context_refs = 0;
    s.calls.clear();
    s.sleeps.clear();
    s.seq = 0;
    s.clock_us = 0;
    s.fast_sleep = true;
    s.injections.clear();
    s.in_filter = nullptr;
    s.open_contexts = 0;
    s.open_handles = 0;
    s.lists_outstanding = 0;
    s.misuse = 0;
}

void attach(vsim::VirtualReader *reader)
{
    std::lock_guard<std::mutex> lock(st().mu);
    retire_devices();
    if (reader != nullptr) {
        Device d;
        d.reader = reader;
        add_device(d);
    }
}

void set_devices(const std::vector<Device> &devices)
{
    std::lock_guard<std::mutex> lock(st().mu);
    retire_devices();
    for (const Device &d : devices)
        add_device(d);
}

void with_lock(const std::function<void()> &fn)
{
    std::lock_guard<std::mutex> lock(st().mu);
    fn();
}

std::vector<Call> calls()
{
    std::lock_guard<std::mutex> lock(st().mu);
    return st().calls;
}

std::vector<std::string> call_names()
{
    std::lock_guard<std::mutex> lock(st().mu);
    std::vector<std::string> names;
    for (const Call &c : st().calls)
        names.push_back(c.name);
    return names;
}

std::string format_call(const Call &call)
{
    std::string line = call.name + "(" + call.args + ") -> " + std::to_string(call.result);
    if (call.endpoint >= 0 && call.name == "libusb_bulk_transfer") {
        line += " transferred=" + std::to_string(call.transferred);
        if (!call.data.empty()) {
            const size_t shown = std::min(call.data.size(), kFormatDataBytes);
            line += " [" + vsim::hex_bytes(call.data.data(), shown);
            if (shown < call.data.size())
                line += " ... +" + std::to_string(call.data.size() - shown);
            line += "]";
        }
    }
    return line + " @" + std::to_string(call.at_us) + "us";
}

void clear_calls()
{
    std::lock_guard<std::mutex> lock(st().mu);
    st().calls.clear();
}

void set_fast_sleep(bool fast)
{
    std::lock_guard<std::mutex> lock(st().mu);
    st().fast_sleep = fast;
}

std::vector<uint64_t> sleeps_us()
{
    std::lock_guard<std::mutex> lock(st().mu);
    std::vector<uint64_t> out;
    for (const Sleep &s : st().sleeps)
        out.push_back(s.us);
    return out;
}

std::vector<Sleep> sleeps()
{
    std::lock_guard<std::mutex> lock(st().mu);
    return st().sleeps;
}

void clear_sleeps()
{
    std::lock_guard<std::mutex> lock(st().mu);
    st().sleeps.clear();
}

uint64_t now_us()
{
    std::lock_guard<std::mutex> lock(st().mu);
    return st().clock_us;
}

void advance_us(uint64_t us)
{
    std::lock_guard<std::mutex> lock(st().mu);
    st().clock_us += us;
}

void set_in_filter(InFilter filter)
{
    std::lock_guard<std::mutex> lock(st().mu);
    st().in_filter = std::move(filter);
}

void fail_next(const std::string &function, int code, int times)
{
    std::lock_guard<std::mutex> lock(st().mu);
    if (times == 0)
        return;
    st().injections[function].push_back({code, times < 0 ? -1 : times});
}

namespace {

// One of the bus's counters, read under its lock.
int locked_count(int State::*counter)
{
    std::lock_guard<std::mutex> lock(st().mu);
    return st().*counter;
}

} // namespace

int open_contexts()
{
    return locked_count(&State::open_contexts);
}

int open_handles()
{
    return locked_count(&State::open_handles);
}

int device_lists_outstanding()
{
    return locked_count(&State::lists_outstanding);
}

int misuse()
{
    return locked_count(&State::misuse);
}

size_t recycle()
{
    std::lock_guard<std::mutex> lock(st().mu);
    State &s = st();
    const size_t before = retained_objects_locked();

    erase_if_unique(s.context_store, [](const libusb_context &c) { return !c.open; });
    erase_if_unique(s.handle_store, [](const libusb_device_handle &h) { return !h.open; });
    erase_if_unique(s.list_store, [&](const std::vector<libusb_device *> &list) {
        return s.open_lists.count(const_cast<libusb_device **>(list.data())) == 0;
    });
    if (s.last_list != nullptr && s.open_lists.count(s.last_list) == 0)
        s.last_list = nullptr;

    // A device stays while it is on the bus, or a kept handle or list names it.
    std::set<const libusb_device *> needed(s.devices.begin(), s.devices.end());
    for (const auto &h : s.handle_store)
        needed.insert(h->dev);
    for (const auto &list : s.list_store)
        needed.insert(list->begin(), list->end());
    erase_if_unique(s.device_store, [&](const libusb_device &d) {
        if (needed.count(&d) != 0)
            return false;
        s.known_devices.erase(&d);
        return true;
    });
    return before - retained_objects_locked();
}

size_t retained_objects()
{
    std::lock_guard<std::mutex> lock(st().mu);
    return retained_objects_locked();
}

libusb_device **last_device_list()
{
    std::lock_guard<std::mutex> lock(st().mu);
    return st().last_list;
}

libusb_device **device_list()
{
    std::lock_guard<std::mutex> lock(st().mu);
    State &s = st();
    s.own_list = s.devices;
    s.own_list.push_back(nullptr);
    return s.own_list.data();
}

} // namespace testbus

// --- libusb --------------------------------------------------------------------------

using testbus::Call;
using testbus::st;

extern "C" {

int libusb_init(libusb_context **ctx)
{
    std::lock_guard<std::mutex> lock(st().mu);
    Call call = testbus::begin("libusb_init", ctx == nullptr ? "default" : "");
    int code = 0;
    if (testbus::injected(call.name, code))
        return static_cast<int>(testbus::finish(call, code));
    if (ctx == nullptr) {
        ++st().default_context_refs;
    } else {
        auto c = std::make_unique<libusb_context>();
        c->generation = st().generation;
        *ctx = c.get();
        st().context_store.push_back(std::move(c));
    }
    ++st().open_contexts;
    return static_cast<int>(testbus::finish(call, LIBUSB_SUCCESS));
}

void libusb_exit(libusb_context *ctx)
{
    std::lock_guard<std::mutex> lock(st().mu);
    Call call = testbus::begin("libusb_exit", ctx == nullptr ? "default" : "");
    if (testbus::context_ok(ctx)) {
        if (ctx == nullptr)
            --st().default_context_refs;
        else
            ctx->open = false;
        --st().open_contexts;
    }
    testbus::finish(call, 0);
}

ssize_t libusb_get_device_list(libusb_context *ctx, libusb_device ***list)
{
    std::lock_guard<std::mutex> lock(st().mu);
    Call call = testbus::begin("libusb_get_device_list");
    int code = 0;
    if (testbus::injected(call.name, code))
        return testbus::finish(call, code);
    if (!testbus::context_ok(ctx) || list == nullptr)
        return testbus::finish(call, LIBUSB_ERROR_INVALID_PARAM);
    auto devs = std::make_unique<std::vector<libusb_device *>>();
    for (libusb_device *dev : st().devices) {
        if (testbus::enumerated(dev))
            devs->push_back(dev);
    }
    const auto count = static_cast<ssize_t>(devs->size());
    devs->push_back(nullptr);
    *list = devs->data();
    st().last_list = devs->data();
    st().open_lists.insert(devs->data());
    st().list_store.push_back(std::move(devs));
    ++st().lists_outstanding;
    return testbus::finish(call, count);
}

void libusb_free_device_list(libusb_device **list, int unref_devices)
{
    std::lock_guard<std::mutex> lock(st().mu);
    Call call = testbus::begin("libusb_free_device_list", "unref=" + std::to_string(unref_devices));
    if (list != nullptr) {
        if (st().open_lists.erase(list) != 0)
            --st().lists_outstanding;
        else
            ++st().misuse;
    }
    testbus::finish(call, 0);
}

libusb_device_handle *libusb_open_device_with_vid_pid(libusb_context *ctx, uint16_t vendor_id,
                                                      uint16_t product_id)
{
    std::lock_guard<std::mutex> lock(st().mu);
    char args[32];
    std::snprintf(args, sizeof args, "%04x:%04x", vendor_id, product_id);
    Call call = testbus::begin("libusb_open_device_with_vid_pid", args);
    int code = 0;
    if (testbus::injected(call.name, code) || !testbus::context_ok(ctx)) {
        testbus::finish(call, 0);
        return nullptr;
    }
    for (libusb_device *dev : st().devices) {
        const testbus::Device &d = dev->setup;
        if (d.vid == vendor_id && d.pid == product_id && d.reader != nullptr &&
            d.reader->present()) {
            testbus::finish(call, 1);
            return testbus::new_handle(dev);
        }
    }
    testbus::finish(call, 0);
    return nullptr;
}

int libusb_open(libusb_device *dev, libusb_device_handle **dev_handle)
{
    std::lock_guard<std::mutex> lock(st().mu);
    Call call = testbus::begin("libusb_open");
    int code = 0;
    if (testbus::injected(call.name, code))
        return static_cast<int>(testbus::finish(call, code));
    if (dev == nullptr || dev_handle == nullptr)
        return static_cast<int>(testbus::finish(call, LIBUSB_ERROR_INVALID_PARAM));
    // A device without a model has no node to open; an unplugged one is gone.
    if (dev->setup.reader == nullptr || !dev->setup.reader->present())
        return static_cast<int>(testbus::finish(call, LIBUSB_ERROR_NO_DEVICE));
    *dev_handle = testbus::new_handle(dev);
    return static_cast<int>(testbus::finish(call, LIBUSB_SUCCESS));
}

void libusb_close(libusb_device_handle *dev_handle)
{
    std::lock_guard<std::mutex> lock(st().mu);
    Call call = testbus::begin("libusb_close");
    if (dev_handle != nullptr && testbus::handle_ok(dev_handle)) {
        dev_handle->open = false;
        --st().open_handles;
    }
    testbus::finish(call, 0);
}

int libusb_kernel_driver_active(libusb_device_handle *dev_handle, int interface_number)
{
    return testbus::device_request(
        "libusb_kernel_driver_active", dev_handle, "iface=" + std::to_string(interface_number),
        [&](vsim::VirtualReader &r) {
            bool active = false;
            const vsim::UsbStatus s = r.kernel_driver_active(interface_number, &active);
            if (s != vsim::UsbStatus::Ok)
                return testbus::to_libusb(s);
            return active ? 1 : 0;
        });
}

int libusb_detach_kernel_driver(libusb_device_handle *dev_handle, int interface_number)
{
    return testbus::numbered_request("libusb_detach_kernel_driver", dev_handle,
                                     "iface=", interface_number,
                                     &vsim::VirtualReader::detach_kernel_driver);
}

int libusb_set_configuration(libusb_device_handle *dev_handle, int configuration)
{
    return testbus::numbered_request("libusb_set_configuration", dev_handle,
                                     "config=", configuration,
                                     &vsim::VirtualReader::set_configuration);
}

int libusb_get_configuration(libusb_device_handle *dev, int *config)
{
    return testbus::device_request(
        "libusb_get_configuration", dev, "",
        [&](vsim::VirtualReader &r) { return testbus::to_libusb(r.get_configuration(config)); });
}

int libusb_claim_interface(libusb_device_handle *dev_handle, int interface_number)
{
    return testbus::numbered_request("libusb_claim_interface", dev_handle,
                                     "iface=", interface_number,
                                     &vsim::VirtualReader::claim_interface);
}

int libusb_release_interface(libusb_device_handle *dev_handle, int interface_number)
{
    return testbus::numbered_request("libusb_release_interface", dev_handle,
                                     "iface=", interface_number,
                                     &vsim::VirtualReader::release_interface);
}

int libusb_clear_halt(libusb_device_handle *dev_handle, unsigned char endpoint)
{
    return testbus::device_request(
        "libusb_clear_halt", dev_handle, "ep=" + testbus::hex8(endpoint),
        [&](vsim::VirtualReader &r) { return testbus::to_libusb(r.clear_halt(endpoint)); });
}

int libusb_reset_device(libusb_device_handle *dev_handle)
{
    return testbus::device_request(
        "libusb_reset_device", dev_handle, "",
        [&](vsim::VirtualReader &r) { return testbus::to_libusb(r.reset_device(st().clock_us)); });
}

int libusb_bulk_transfer(libusb_device_handle *dev_handle, unsigned char endpoint,
                         unsigned char *data, int length, int *actual_length, unsigned int timeout)
{
    std::lock_guard<std::mutex> lock(st().mu);
    testbus::State &s = st();
    Call call = testbus::begin("libusb_bulk_transfer", "ep=" + testbus::hex8(endpoint) +
                                                           " len=" + std::to_string(length) +
                                                           " timeout=" + std::to_string(timeout));
    call.endpoint = endpoint;
    call.length = length;
    call.timeout_ms = timeout;
    const bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    if (!in && data != nullptr && length > 0)
        call.data.assign(data, data + length);
    if (actual_length != nullptr)
        *actual_length = 0;

    const uint64_t start = s.clock_us;
    const uint64_t timeout_us = static_cast<uint64_t>(timeout) * testbus::kUsPerMs;
    int code = 0;
    if (testbus::injected(call.name, code)) {
        if (code == LIBUSB_ERROR_TIMEOUT)
            s.clock_us = start + timeout_us;
        return static_cast<int>(testbus::finish(call, code));
    }
    if (!testbus::handle_ok(dev_handle))
        return static_cast<int>(testbus::finish(call, LIBUSB_ERROR_INVALID_PARAM));
    vsim::VirtualReader *reader = testbus::reader_of(dev_handle);
    if (reader == nullptr)
        return static_cast<int>(testbus::finish(call, LIBUSB_ERROR_NO_DEVICE));

    int done = 0;
    vsim::UsbStatus status;
    if (!in) {
        status = reader->out_transfer(endpoint, data, length, s.clock_us);
        done = status == vsim::UsbStatus::Ok ? length : 0;
    } else {
        status = reader->in_transfer(endpoint, data, length, &done, s.clock_us);
        if (status == vsim::UsbStatus::NothingReady) {
            // Wait, on the virtual clock, for data that become ready in time.
            const std::optional<uint64_t> ready = reader->ready_at_us(endpoint);
            const uint64_t deadline =
                timeout == 0 ? std::numeric_limits<uint64_t>::max() : start + timeout_us;
            if (ready && *ready <= deadline) {
                s.clock_us = std::max(s.clock_us, *ready);
                status = reader->in_transfer(endpoint, data, length, &done, s.clock_us);
            }
        }
        const bool delivered = status == vsim::UsbStatus::Ok || status == vsim::UsbStatus::Overflow;
        const bool timed_out =
            status == vsim::UsbStatus::NothingReady || status == vsim::UsbStatus::Timeout;
        if (timed_out)
            s.clock_us = std::max(s.clock_us, start + timeout_us);
        std::vector<uint8_t> stage(data, data + done);
        if ((delivered || timed_out) && testbus::filter_in_stage(endpoint, stage)) {
            if (stage.empty()) {
                done = 0;
                status = vsim::UsbStatus::Timeout;
                s.clock_us = std::max(s.clock_us, start + timeout_us);
            } else {
                if (!delivered)
                    s.clock_us = start; // scripted data is there at once
                const int room = std::max(length, 0);
                done = std::min(static_cast<int>(stage.size()), room);
                if (done > 0)
                    std::copy(stage.begin(), stage.begin() + done, data);
                status = static_cast<int>(stage.size()) > room ? vsim::UsbStatus::Overflow
                                                               : vsim::UsbStatus::Ok;
            }
        }
        if (done > 0)
            call.data.assign(data, data + done);
    }
    if (actual_length != nullptr)
        *actual_length = done;
    call.transferred = done;
    return static_cast<int>(testbus::finish(call, testbus::to_libusb(status)));
}

int libusb_get_device_descriptor(libusb_device *dev, struct libusb_device_descriptor *desc)
{
    std::lock_guard<std::mutex> lock(st().mu);
    Call call = testbus::begin("libusb_get_device_descriptor");
    int code = 0;
    if (testbus::injected(call.name, code))
        return static_cast<int>(testbus::finish(call, code));
    if (!testbus::device_ok(dev) || desc == nullptr)
        return static_cast<int>(testbus::finish(call, LIBUSB_ERROR_INVALID_PARAM));
    if (dev->setup.descriptor_error != 0)
        return static_cast<int>(testbus::finish(call, dev->setup.descriptor_error));
    *desc = libusb_device_descriptor{};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = testbus::kBcdUsb;
    desc->bMaxPacketSize0 = testbus::kMaxPacket0;
    desc->idVendor = dev->setup.vid;
    desc->idProduct = dev->setup.pid;
    desc->bcdDevice = testbus::kBcdDevice;
    desc->bNumConfigurations = 1;
    return static_cast<int>(testbus::finish(call, LIBUSB_SUCCESS));
}

uint8_t libusb_get_bus_number(libusb_device *dev)
{
    std::lock_guard<std::mutex> lock(st().mu);
    Call call = testbus::begin("libusb_get_bus_number");
    const uint8_t bus = testbus::device_ok(dev) ? dev->setup.bus : 0;
    testbus::finish(call, bus);
    return bus;
}

uint8_t libusb_get_device_address(libusb_device *dev)
{
    std::lock_guard<std::mutex> lock(st().mu);
    Call call = testbus::begin("libusb_get_device_address");
    const uint8_t address = testbus::device_ok(dev) ? dev->setup.address : 0;
    testbus::finish(call, address);
    return address;
}

int libusb_get_port_numbers(libusb_device *dev, uint8_t *port_numbers, int port_numbers_len)
{
    std::lock_guard<std::mutex> lock(st().mu);
    Call call =
        testbus::begin("libusb_get_port_numbers", "len=" + std::to_string(port_numbers_len));
    if (!testbus::device_ok(dev) || port_numbers == nullptr || port_numbers_len <= 0)
        return static_cast<int>(testbus::finish(call, LIBUSB_ERROR_INVALID_PARAM));
    const std::vector<uint8_t> &ports = dev->setup.ports;
    if (static_cast<int>(ports.size()) > port_numbers_len)
        return static_cast<int>(testbus::finish(call, LIBUSB_ERROR_OVERFLOW));
    std::copy(ports.begin(), ports.end(), port_numbers);
    return static_cast<int>(testbus::finish(call, static_cast<long>(ports.size())));
}

// --- Sleeps: recorded on the virtual clock --------------------------------------------

// The C library's own sleeps, looked up once when the bus is loaded, before
// any thread that could sleep exists.
const auto g_real_usleep = testbus::real_function<int (*)(useconds_t)>("usleep");
const auto g_real_sleep = testbus::real_function<unsigned int (*)(unsigned int)>("sleep");

int usleep(useconds_t usec)
{
    if (!testbus::record_sleep(usec))
        return 0;
    return g_real_usleep != nullptr ? g_real_usleep(usec) : 0;
}

unsigned int sleep(unsigned int seconds)
{
    if (!testbus::record_sleep(static_cast<uint64_t>(seconds) * testbus::kUsPerSecond))
        return 0;
    return g_real_sleep != nullptr ? g_real_sleep(seconds) : 0;
}

} // extern "C"
