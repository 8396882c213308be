// Whether the reader is on the bus, told from the bus's device list alone:
// the reader is never opened for it, so a read in progress is undisturbed.
#ifndef VESSIKD_READER_MONITOR_H
#define VESSIKD_READER_MONITOR_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vessikd {

class ReaderMonitor {
  public:
    using Listener = std::function<void(bool present)>;

    // Looks at the bus now; a change reaches the listener.
    bool probe();
    // The bus as the last probe saw it.
    bool present() const;

    // Probes every `interval` on a thread of its own until stop().
    void start(Listener listener, std::chrono::milliseconds interval);
    // Ends the thread start() began.
    void stop();
    // Probes at once (the reader went away under a read, say).
    void poke();

  private:
    void run();

    Listener listener_;
    std::chrono::milliseconds interval_{0};
    mutable std::mutex mutex_;
    std::mutex probe_mutex_; // one enumeration at a time
    std::condition_variable wake_;
    bool present_ = false;
    bool known_ = false; // the first probe reports its result whatever it is
    bool poked_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace vessikd

#endif
