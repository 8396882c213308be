// SPDX-License-Identifier: LGPL-2.1-or-later
// Every reader vessikd serves: the USB readers on the bus and the serial
// modules named in the settings, each with a worker of its own, so that
// reads on different readers run at once.
//
// The list is kept by a thread of its own and answered from memory: a
// status request never looks at the bus. The thread looks at the bus when
// libusb tells of a device plugged in or out (where libusb can), when a
// read finds its reader gone, and every little while besides (hotplug
// events need not reach a process: under a test bed they may never come).
// A reader is named by its location ("usb:1-2.3", "serial:/dev/ttyS1"),
// which stays the same while it sits in the same socket.
#ifndef VESSIKD_READER_REGISTRY_H
#define VESSIKD_READER_REGISTRY_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reader_worker.h"

struct libusb_context;

namespace vessikd {

// One reader as a listing shows it.
struct ReaderSummary {
    std::string id; // its location
    int transport = VESSIK_TRANSPORT_USB;
    ReaderState state;
};

// What the registry tells the service of, and asks it; `id` names the reader.
struct RegistryHooks {
    std::function<void(const std::string &id, const vessik_card &)> card_laid_down;
    std::function<void(const std::string &id)> card_removed;
    std::function<bool()> want_watch; // event streams are open
    std::function<void(const std::string &id, bool present)> reader_changed; // plugged in or out
    bool answer_driven = false; // every reader's reads wait for the module's answer itself
};

class ReaderRegistry {
  public:
    // `serial_locations`: the serial readers of the settings; each is served
    // while its device exists.
    ReaderRegistry(std::vector<std::string> serial_locations, RegistryHooks hooks);
    ~ReaderRegistry();
    ReaderRegistry(const ReaderRegistry &) = delete;
    ReaderRegistry &operator=(const ReaderRegistry &) = delete;

    // Looks at the bus once, then keeps looking on a thread of its own.
    void start();
    // Ends the thread and every reader's worker.
    void stop();
    // Looks at the bus again soon.
    void rescan();
    // Looks at the bus now, on the caller's thread.
    void scan();

    // The worker of reader `id`; of the first reader (bus order, then the
    // serial readers in the settings' order) for an empty id; null if there
    // is no such reader.
    std::shared_ptr<ReaderWorker> find(const std::string &id) const;
    // Every reader, in order.
    std::vector<ReaderSummary> summaries() const;
    size_t count() const;
    bool client_read_active() const;
    bool watching() const;
    // Streams opened or closed: every worker looks again whether to watch.
    void wake_all();
    // Whether libusb tells this process of devices plugged in and out.
    bool hotplug() const { return hotplug_context_ != nullptr; }

  private:
    struct Entry {
        std::string id;
        int transport = VESSIK_TRANSPORT_USB;
        std::shared_ptr<ReaderWorker> worker;
    };

    // The readers there are now, in order, with their transports.
    std::vector<std::pair<std::string, int>> readers_now() const;
    void run();
    std::shared_ptr<ReaderWorker> make_worker(const std::string &id);
    std::vector<std::shared_ptr<ReaderWorker>> workers() const;
    void start_hotplug();
    void stop_hotplug();
    void handle_hotplug_events();

    const std::vector<std::string> serial_locations_;
    RegistryHooks hooks_;

    // The readers; never held while a worker is called.
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;

    std::mutex scan_mutex_; // one scan at a time, so changes are told in order
    std::mutex wake_mutex_; // for the thread: a rescan asked for, a stop
    std::condition_variable wake_;
    bool rescan_asked_ = false;
    bool stopping_ = false;
    std::thread thread_;

    libusb_context *hotplug_context_ = nullptr;
    int hotplug_handle_ = 0;
    bool hotplug_stopping_ = false; // under wake_mutex_
    std::thread hotplug_thread_;
};

} // namespace vessikd

#endif
