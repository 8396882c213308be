// Whether the reader is on the bus (see reader_monitor.h).
#include "reader_monitor.h"

#include <libusb.h>

#include "reader_list.h"

namespace vessikd {

namespace {

// A context of our own, opened and closed around each look, so the list is
// fresh whether or not hotplug events reach this process.
bool reader_on_bus()
{
    libusb_context *context = nullptr;
    if (libusb_init(&context) < 0)
        return false;
    libusb_device **devices = nullptr;
    const ssize_t count = libusb_get_device_list(context, &devices);
    bool found = false;
    if (count >= 0) {
        libusb_device *first_reader[2]; // one reader and the end of the list
        found = vessik_tools::collect_readers(devices, first_reader, 1) == 1;
        libusb_free_device_list(devices, 1);
    }
    libusb_exit(context);
    return found;
}

} // namespace

bool ReaderMonitor::probe()
{
    // Held to the end, so that changes reach the listener in bus order.
    std::lock_guard<std::mutex> probing(probe_mutex_);
    const bool now = reader_on_bus();
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        changed = !known_ || now != present_;
        present_ = now;
        known_ = true;
    }
    if (changed && listener_)
        listener_(now);
    return now;
}

bool ReaderMonitor::present() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return present_;
}

void ReaderMonitor::start(Listener listener, std::chrono::milliseconds interval)
{
    listener_ = std::move(listener);
    interval_ = interval;
    thread_ = std::thread(&ReaderMonitor::run, this);
}

void ReaderMonitor::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void ReaderMonitor::poke()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        poked_ = true;
    }
    wake_.notify_all();
}

void ReaderMonitor::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        probe();
        lock.lock();
        wake_.wait_for(lock, interval_, [this] { return stopping_ || poked_; });
        poked_ = false;
    }
}

} // namespace vessikd
