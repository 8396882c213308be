// The one thread that uses the reader. Client reads and the watch for event
// streams take turns on it, so two users never meet on the reader: a client
// read waits for nothing but the watch read in progress, which it cancels.
#ifndef VESSIKD_READER_WORKER_H
#define VESSIKD_READER_WORKER_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "vessik_read.h"

namespace vessikd {

struct WorkerHooks {
    std::function<void(const vessik_card &)> card_read; // every card, client's or watched
    std::function<bool()> want_watch;                   // event streams are open
    std::function<bool()> reader_present;
    std::function<void()> reader_trouble; // a read found no reader or lost it
};

class ReaderWorker {
  public:
    explicit ReaderWorker(WorkerHooks hooks) : hooks_(std::move(hooks)) {}

    void start();
    // Cancels the read in progress (the reader is closed by then) and ends
    // the thread. A client read waiting or running gets VESSIK_E_CANCELLED.
    void stop();

    // One read for a client: a vessik_read result. VESSIK_E_BUSY at once
    // while another client's read is queued or running.
    int read(unsigned deadline_ms, vessik_card *card);

    // Streams opened or closed, or the reader came or went.
    void wake();

    bool client_read_active() const;
    bool watching() const;

  private:
    enum class Slot { Empty, Queued, Running, Done };

    // A watch read is renewed this often; it ends sooner for a card, a
    // client read, the last stream closing or a stop.
    static constexpr unsigned kWatchDeadlineMs = 30000;
    static constexpr unsigned kCancelRepeatMs = 20;
    static constexpr unsigned kIdleRecheckMs = 500;
    static constexpr unsigned kTroublePauseMs = 500;

    void run();
    // The library's status callback: it runs once the reader is open, after
    // the read has cleared any earlier cancel, so a watch read that lost a
    // cancel before then is cancelled here instead.
    static void on_read_status(int kind, void *message);
    void yield_if_asked();
    void serve_client(std::unique_lock<std::mutex> &lock);
    void watch_once(std::unique_lock<std::mutex> &lock);
    int read_card(unsigned deadline_ms, bool watch, vessik_card *card);

    WorkerHooks hooks_;
    mutable std::mutex mutex_;
    std::condition_variable wake_; // for the worker
    std::condition_variable done_; // for clients and stop()
    Slot slot_ = Slot::Empty;
    unsigned request_deadline_ms_ = 0;
    int result_ = VESSIK_OK;
    vessik_card card_{};
    bool watch_running_ = false;
    bool stopping_ = false;
    bool exited_ = false;
    std::thread thread_;
};

} // namespace vessikd

#endif
