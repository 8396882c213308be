// SPDX-License-Identifier: LGPL-2.1-or-later
// Readers as USB devices in one umockdev testbed: each with its sysfs
// record, its device node and its usbfs ioctls, answered from its own
// vsim::VirtualReader.
//
// Threads: umockdev calls the ioctl handler on its own worker thread; the
// launcher's main thread calls everything else. One mutex guards the model
// and the URB lists. IN URBs that find no data wait in a list until the
// model has an answer ready; service() completes them, and the launcher
// calls it when notify_fd() turns readable or the time it returned comes.
#ifndef VESSIK_TOOLS_VIRTUAL_READER_READER_DEVICE_H
#define VESSIK_TOOLS_VIRTUAL_READER_READER_DEVICE_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include "monotonic_clock.h"
#include "virtual_reader.h"
#include "wake_fifo.h"

// The testbed every reader of one launcher lives in.
class Testbed {
  public:
    Testbed() = default;
    ~Testbed();
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    // Creates it (sets UMOCKDEV_DIR; call before starting threads).
    bool open(std::string &error);
    // Removes it and its folder; the devices in it are detached first.
    void close();
    UMockdevTestbed *get() const { return testbed_; }
    // The testbed's folder (UMOCKDEV_DIR).
    const std::string &root_dir() const { return root_dir_; }

  private:
    UMockdevTestbed *testbed_ = nullptr;
    std::string root_dir_;
};

class ReaderDevice {
  public:
    // Reader `number` (1 to 16) sits in bus 1, port `number`.
    ReaderDevice(vsim::VirtualReader &model, const MonotonicClock &clock, int number);
    ~ReaderDevice();
    ReaderDevice(const ReaderDevice &) = delete;
    ReaderDevice &operator=(const ReaderDevice &) = delete;

    // Readies the device in `testbed` (its wake-up FIFO and ioctl handler);
    // it is not on the bus yet.
    bool attach(Testbed &testbed, std::string &error);
    // Puts the device on the bus (again): sysfs record, FIFO node, uevent.
    bool plug(std::string &error);
    // Takes it off: the model answers NoDevice, waiting URBs end with ENODEV.
    void unplug();
    // Whether the testbed has the device (the main thread's view).
    bool on_bus() const { return on_bus_; }
    // Send uevents on plug and unplug (needs the launcher under the preload).
    void set_uevents(bool on) { uevents_ = on; }
    // Leaves the testbed: drops every URB, the handler and the FIFO.
    void detach();

    // Lays a card on the reader, or lifts it, as the model's own calls do.
    void insert_card(const vsim::CardFields &card);
    void remove_card();
    // Puts `fresh` in place of the model (knobs, card, counters and all),
    // between a program's scenarios; plug() then brings it on the bus.
    void replace_model(vsim::VirtualReader fresh);
    // The model's counters, for --stats and the control socket.
    vsim::Counters counters();

    // Readable when the ioctl handler wants the launcher to call service().
    int notify_fd() const { return notify_fd_; }
    // Completes IN URBs whose data are due, and takes the device off the bus
    // if the model unplugged itself. Returns the next time it must run again
    // (kNever: only when notify_fd() says so).
    uint64_t service();
    static constexpr uint64_t kNever = UINT64_MAX;

  private:
    struct Urb {
        UMockdevIoctlClient *client = nullptr; // referenced
        UMockdevIoctlData *urb = nullptr;      // the client's struct usbdevfs_urb, referenced
        UMockdevIoctlData *buffer = nullptr;   // its buffer (null for 0 bytes), referenced
        uint8_t endpoint = 0;
        bool held = false; // a fault keeps it until the client discards it
        int held_bytes = 0;
    };
    struct Completion { // what the client's ioctl() returns, and its errno
        long result;
        int error;
    };

    static gboolean on_ioctl(UMockdevIoctlBase *base, UMockdevIoctlClient *client, gpointer self);
    static void on_client_connected(UMockdevIoctlBase *base, UMockdevIoctlClient *client,
                                    gpointer self);

    Completion handle(UMockdevIoctlClient *client, unsigned long request);
    Completion submit_urb(UMockdevIoctlClient *client);
    int refusal(const usbdevfs_urb &urb) const;
    int write_out(Urb &urb, int length, uint64_t now);
    Completion reap_urb(UMockdevIoctlClient *client);
    Completion discard_urb(UMockdevIoctlClient *client);
    Completion claim(UMockdevIoctlClient *client, unsigned iface);
    Completion release(UMockdevIoctlClient *client, unsigned iface);
    Completion usbfs_ioctl(UMockdevIoctlClient *client);
    Completion get_driver(UMockdevIoctlClient *client);
    Completion disconnect_claim(UMockdevIoctlClient *client);
    Completion set_configuration(UMockdevIoctlClient *client);
    bool read_uint(UMockdevIoctlClient *client, unsigned *value);

    // All below with mutex_ held.
    void pump(uint64_t now);
    void finish(Urb &urb, int status, int actual);
    void end_waiting_urbs(UMockdevIoctlClient *client, int status);
    void drop_client(UMockdevIoctlClient *client);
    void prune_clients();
    void update_wake();
    void announce(uint64_t deadline);
    void note_model_presence();

    void take_off_bus();
    void send_uevent(const char *action);
    void announce_removal();
    void unref_urb(Urb &urb);
    bool add_device_record(std::string &error);

    vsim::VirtualReader &model_;
    const MonotonicClock &clock_;
    const int number_;
    std::mutex mutex_;
    std::deque<Urb> waiting_; // IN URBs without data yet, in submission order
    std::deque<Urb> done_;    // completed, not yet reaped
    std::vector<UMockdevIoctlClient *> clients_;
    UMockdevIoctlClient *claimant_ = nullptr; // holds interface 0
    std::atomic<bool> on_bus_{false};         // the testbed has the device (main thread's view)
    bool model_unplugged_ = false;            // the model went away by itself; service() tidies up
    uint64_t announced_deadline_ = kNever;
    bool servicing_ = false; // service() runs: deadlines need no wake-up
    bool uevents_ = false;
    std::atomic<bool> removal_announced_{false};
    bool ioctls_attached_ = false;

    // Where this reader sits: its sysfs path, device node and record.
    std::string sys_path_;
    std::string dev_node_;
    std::string record_;

    UMockdevTestbed *testbed_ = nullptr; // not owned
    UMockdevIoctlBase *handler_ = nullptr;
    std::string root_dir_;
    WakeFifo wake_;
    int notify_fd_ = -1;
};

#endif
