// SPDX-License-Identifier: LGPL-2.1-or-later
// Every reader vessikd serves (see reader_registry.h).
#include "reader_registry.h"

#include "config.h"

#include <algorithm>
#include <sys/stat.h>

#include <libusb.h>

namespace vessikd {

namespace {

// How often the bus is looked at without being told of a change: often
// where libusb cannot tell of devices plugged in and out, seldom where it
// can.
constexpr auto kScanInterval = std::chrono::milliseconds(1000);
constexpr auto kScanIntervalWithHotplug = std::chrono::milliseconds(5000);
// A look asked for (an event, a reader lost) is taken again this much later:
// the event may come before the device has left the bus's list (a test
// bed's removal does so).
constexpr auto kSettleDelay = std::chrono::milliseconds(300);
// How long the hotplug thread waits for libusb's events at a time; a stop
// is seen within it.
constexpr long kHotplugWaitUs = 250000;
// Room for the readers of a first listing; more are asked for if there are.
constexpr int kListRoom = 16;

// The USB readers on the bus, in bus order, by their locations; false if
// the bus could not be listed.
bool usb_readers(std::vector<std::string> &locations)
{
    std::vector<vessik_reader_info> infos(kListRoom);
    int count = 0;
    for (;;) {
        for (vessik_reader_info &info : infos)
            vessik_reader_info_init(&info);
        count = vessik_reader_list(infos.data(), static_cast<int>(infos.size()));
        if (count < 0)
            return false;
        if (static_cast<size_t>(count) <= infos.size())
            break;
        infos.resize(static_cast<size_t>(count));
    }
    for (int i = 0; i < count; ++i) {
        if (infos[static_cast<size_t>(i)].transport == VESSIK_TRANSPORT_USB)
            locations.push_back(infos[static_cast<size_t>(i)].location);
    }
    return true;
}

int on_hotplug(libusb_context *, libusb_device *, libusb_hotplug_event, void *registry)
{
    static_cast<ReaderRegistry *>(registry)->rescan();
    return 0; // stay registered
}

} // namespace

ReaderRegistry::ReaderRegistry(std::vector<std::string> serial_locations, RegistryHooks hooks)
    : serial_locations_(std::move(serial_locations)), hooks_(std::move(hooks))
{
}

ReaderRegistry::~ReaderRegistry()
{
    stop();
}

void ReaderRegistry::start()
{
    scan();
    start_hotplug();
    thread_ = std::thread(&ReaderRegistry::run, this);
}

void ReaderRegistry::stop()
{
    {
        std::lock_guard<std::mutex> lock(wake_mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    stop_hotplug();
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries.swap(entries_);
    }
    for (Entry &e : entries)
        e.worker->stop();
}

void ReaderRegistry::rescan()
{
    {
        std::lock_guard<std::mutex> lock(wake_mutex_);
        rescan_asked_ = true;
    }
    wake_.notify_all();
}

std::vector<std::pair<std::string, int>> ReaderRegistry::readers_now() const
{
    std::vector<std::pair<std::string, int>> readers;
    std::vector<std::string> usb;
    if (usb_readers(usb)) {
        for (const std::string &location : usb)
            readers.emplace_back(location, VESSIK_TRANSPORT_USB);
    } else {
        // A bus that cannot be listed now says nothing of its readers: the
        // ones served stay (a read on one that has gone finds out).
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Entry &e : entries_) {
            if (e.transport == VESSIK_TRANSPORT_USB)
                readers.emplace_back(e.id, e.transport);
        }
    }
    // A serial port is never probed here: it is served while its device
    // exists, and its worker finds out whether a module answers.
    for (const std::string &location : serial_locations_) {
        struct stat st {};
        if (stat(serial_device_of(location).c_str(), &st) == 0)
            readers.emplace_back(location, VESSIK_TRANSPORT_SERIAL);
    }
    return readers;
}

std::shared_ptr<ReaderWorker> ReaderRegistry::make_worker(const std::string &id)
{
    WorkerHooks hooks;
    hooks.card_laid_down = [this, id](const vessik_card &card) {
        if (hooks_.card_laid_down)
            hooks_.card_laid_down(id, card);
    };
    hooks.card_removed = [this, id] {
        if (hooks_.card_removed)
            hooks_.card_removed(id);
    };
    hooks.want_watch = [this] { return hooks_.want_watch && hooks_.want_watch(); };
    hooks.reader_trouble = [this] { rescan(); };
    hooks.answer_driven = hooks_.answer_driven;
    return std::make_shared<ReaderWorker>(id, std::move(hooks));
}

void ReaderRegistry::scan()
{
    std::lock_guard<std::mutex> scanning(scan_mutex_);
    const std::vector<std::pair<std::string, int>> now = readers_now();
    std::vector<Entry> added;
    std::vector<Entry> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Entry> kept;
        for (const auto &reader : now) {
            const auto it = std::find_if(entries_.begin(), entries_.end(),
                                         [&](const Entry &e) { return e.id == reader.first; });
            if (it != entries_.end()) {
                kept.push_back(*it);
                continue;
            }
            Entry entry{reader.first, reader.second, make_worker(reader.first)};
            added.push_back(entry);
            kept.push_back(entry);
        }
        for (const Entry &e : entries_) {
            if (std::none_of(kept.begin(), kept.end(),
                             [&](const Entry &k) { return k.id == e.id; }))
                gone.push_back(e);
        }
        entries_.swap(kept);
    }
    // A read on a reader pulled out ends with the reader lost; requests that
    // still hold its worker get the same.
    for (Entry &e : gone) {
        e.worker->stop(true);
        if (hooks_.reader_changed)
            hooks_.reader_changed(e.id, false);
    }
    for (Entry &e : added) {
        e.worker->start();
        if (hooks_.reader_changed)
            hooks_.reader_changed(e.id, true);
    }
}

void ReaderRegistry::run()
{
    const auto interval = hotplug() ? kScanIntervalWithHotplug : kScanInterval;
    bool settling = false; // a look asked for is to be taken again
    std::unique_lock<std::mutex> lock(wake_mutex_);
    while (!stopping_) {
        const bool asked = wake_.wait_for(lock, settling ? kSettleDelay : interval,
                                          [this] { return stopping_ || rescan_asked_; });
        if (stopping_)
            break;
        settling = asked;
        rescan_asked_ = false;
        lock.unlock();
        scan();
        lock.lock();
    }
}

std::shared_ptr<ReaderWorker> ReaderRegistry::find(const std::string &id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (id.empty())
        return entries_.empty() ? nullptr : entries_.front().worker;
    for (const Entry &e : entries_) {
        if (e.id == id)
            return e.worker;
    }
    return nullptr;
}

std::vector<ReaderSummary> ReaderRegistry::summaries() const
{
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries = entries_;
    }
    std::vector<ReaderSummary> out;
    for (const Entry &e : entries)
        out.push_back(ReaderSummary{e.id, e.transport, e.worker->state()});
    return out;
}

size_t ReaderRegistry::count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

std::vector<std::shared_ptr<ReaderWorker>> ReaderRegistry::workers() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<ReaderWorker>> out;
    for (const Entry &e : entries_)
        out.push_back(e.worker);
    return out;
}

bool ReaderRegistry::client_read_active() const
{
    for (const auto &worker : workers()) {
        if (worker->client_read_active())
            return true;
    }
    return false;
}

bool ReaderRegistry::watching() const
{
    for (const auto &worker : workers()) {
        if (worker->watching())
            return true;
    }
    return false;
}

void ReaderRegistry::wake_all()
{
    for (const auto &worker : workers())
        worker->wake();
}

void ReaderRegistry::start_hotplug()
{
    if (libusb_init(&hotplug_context_) < 0) {
        hotplug_context_ = nullptr;
        return;
    }
    const int events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0 ||
        libusb_hotplug_register_callback(
            hotplug_context_, static_cast<libusb_hotplug_event>(events),
            static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, this, &hotplug_handle_) != LIBUSB_SUCCESS) {
        libusb_exit(hotplug_context_);
        hotplug_context_ = nullptr;
        return;
    }
    hotplug_thread_ = std::thread(&ReaderRegistry::handle_hotplug_events, this);
}

void ReaderRegistry::handle_hotplug_events()
{
    timeval wait{0, kHotplugWaitUs};
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(wake_mutex_);
            if (hotplug_stopping_)
                return;
        }
        libusb_handle_events_timeout_completed(hotplug_context_, &wait, nullptr);
    }
}

void ReaderRegistry::stop_hotplug()
{
    if (hotplug_context_ == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(wake_mutex_);
        hotplug_stopping_ = true;
    }
    libusb_hotplug_deregister_callback(hotplug_context_, hotplug_handle_);
    if (hotplug_thread_.joinable())
        hotplug_thread_.join();
    libusb_exit(hotplug_context_);
    hotplug_context_ = nullptr;
}

} // namespace vessikd
