// SPDX-License-Identifier: LGPL-2.1-or-later
// The test USB bus: a stand-in for libusb-1.0 that test programs link instead
// of it. It defines the libusb functions the library calls, with libusb's own
// prototypes and C linkage, and serves them from vsim::VirtualReader models.
// It also defines usleep() and sleep(): while fast sleep is on (the default) a
// sleep is recorded and advances the bus's virtual clock instead of sleeping.
//
// The virtual clock (microseconds, from 0 after reset()) moves on with sleeps
// and with IN transfers: an IN whose data become ready within its timeout
// completes at the ready time; one with nothing ready advances the full
// timeout and returns LIBUSB_ERROR_TIMEOUT. A timeout of 0 waits for whatever
// is queued, and returns LIBUSB_ERROR_TIMEOUT at once when nothing is.
//
// Everything here is guarded by one mutex. The control API below is for test
// code; the libusb functions are for the code under test.
#ifndef VSIM_TESTBUS_H
#define VSIM_TESTBUS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "virtual_reader.h"

struct libusb_device;

namespace testbus {

// The port path of the reader on the bus: 1.3.
inline constexpr uint8_t kReaderPorts[] = {1, 3};

// One device on the bus.
struct Device {
    uint16_t vid = vsim::kVendorId;
    uint16_t pid = vsim::kProductId;
    uint8_t bus = 1;
    uint8_t address = 4;
    std::vector<uint8_t> ports = std::vector<uint8_t>(kReaderPorts, kReaderPorts + 2);
    int descriptor_error = 0;              // libusb_get_device_descriptor answers this when not 0
    vsim::VirtualReader *reader = nullptr; // not owned; a device without one cannot be opened
};

// One libusb call as the bus saw it.
struct Call {
    uint64_t seq = 0;   // shared with sleeps, so the two can be merged in order
    uint64_t at_us = 0; // virtual clock when the call returned
    std::string name;   // "libusb_bulk_transfer"
    std::string args;   // "ep=0x81 len=2048 timeout=100"
    int endpoint = -1;  // bulk transfers and clear_halt
    int length = 0;     // bytes asked for (IN) or offered (OUT)
    unsigned timeout_ms = 0;
    std::vector<uint8_t> data; // OUT: bytes offered; IN: bytes delivered
    int transferred = 0;
    long result = 0; // the value returned; get_device_list: the count;
                     // open_device_with_vid_pid: 1 when a handle came back, else 0
};

struct Sleep {
    uint64_t seq = 0;
    uint64_t at_us = 0; // virtual clock before the sleep
    uint64_t us = 0;
    bool real = false; // fast sleep was off
};

// Detaches every device, clears calls, sleeps, injections and leak counters,
// sets the clock to 0 and fast sleep on. Handles and contexts handed out
// before stay valid pointers; calls on them count as misuse().
void reset();
// One reader, 0400:c35a on bus 1, address 4, ports 1.3; nullptr: no device.
void attach(vsim::VirtualReader *reader);
void set_devices(const std::vector<Device> &devices);

// Runs `fn` under the bus's mutex: for changing a reader (knobs, card, plug)
// while another thread may be inside a libusb call. `fn` must not call the bus.
void with_lock(const std::function<void()> &fn);

std::vector<Call> calls();
std::vector<std::string> call_names();
std::string format_call(const Call &call);
void clear_calls();

void set_fast_sleep(bool fast);
std::vector<uint64_t> sleeps_us();
std::vector<Sleep> sleeps();
void clear_sleeps();
uint64_t now_us();
void advance_us(uint64_t us);

// The next `times` calls of `function` (a libusb name) fail with `code`
// without reaching the model (-1 times: every call). For functions that
// return a pointer (open_device_with_vid_pid) any code makes them return NULL.
void fail_next(const std::string &function, int code, int times = 1);

// Rewrites IN stages before the code under test sees them, so that a test or a
// fuzzer can script any answer a reader could give. The filter runs for every
// IN bulk transfer that reaches a present reader (not for fail_next
// injections, bad handles or an unplugged reader), under the bus's mutex: it
// must not call the bus. It gets the bytes the reader delivered, empty when
// nothing arrived within the timeout or a fault ended the stage with nothing.
// A stage left as it was ends as the reader made it end. A changed stage is
// delivered: whole with success, or cut to the length asked for with
// LIBUSB_ERROR_OVERFLOW, at once when the reader had nothing ready; emptied,
// the transfer runs into its timeout. An empty function switches it off;
// reset() does too.
using InFilter = std::function<void(uint8_t ep, std::vector<uint8_t> &stage)>;
void set_in_filter(InFilter filter);

// Leak counters: inits minus exits, opens minus closes, lists minus frees.
int open_contexts();
int open_handles();
int device_lists_outstanding();
// Calls with a handle, context or list that is not (or no longer) open.
int misuse();

// Frees what the bus keeps for pointers it handed out and no longer needs:
// closed contexts and handles, and devices off the bus that no kept handle
// refers to. Everything is kept otherwise, so that a stale pointer counts as
// misuse() instead of crashing. Long runs call this between reads to keep the
// bus's own memory flat; only while the code under test holds no pointer it
// got from the bus. Returns the number of objects freed.
size_t recycle();
// Objects the bus keeps now: contexts, handles, devices and device lists.
size_t retained_objects();

// The most recent list handed out by libusb_get_device_list; its storage
// lives until reset() even after libusb_free_device_list.
libusb_device **last_device_list();
// A NULL-terminated list of the current devices, owned by the bus (not counted
// as outstanding), valid until the next reset() or set_devices().
libusb_device **device_list();

} // namespace testbus

#endif
