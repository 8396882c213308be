// The one thread that uses the reader. Client reads and the watch for event
// streams take turns on it, so two users never meet on the reader: a client
// read waits for nothing but the watch read in progress, which it cancels.
//
// Only the watch announces cards: a client's read goes to that client alone.
// The watch also tells when the card read last is lifted. The library has
// no word for that, so while a card is known to lie there the watch reads
// it again (as the library itself does to hold a card back) and takes a
// read that finds no card as the card gone. A reader that does not find a
// card again after reading it cannot tell a lifted card from one left
// lying; the watch learns whether the reader refinds cards from the first
// card it does see again, and tells no removals until then.
#ifndef VESSIKD_READER_WORKER_H
#define VESSIKD_READER_WORKER_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "vessik_read.h"

namespace vessikd {

// What the worker tells the service of, and asks it.
struct WorkerHooks {
    std::function<void(const vessik_card &)> card_laid_down; // a new card the watch found
    std::function<void()> card_removed;                      // the card read last is gone
    std::function<bool()> want_watch;                        // event streams are open
    std::function<bool()> reader_present;                    // the monitor's view of the bus
    std::function<void()> reader_trouble;                    // a read found no reader or lost it
};

class ReaderWorker {
  public:
    explicit ReaderWorker(WorkerHooks hooks) : hooks_(std::move(hooks)) {}

    // Starts the thread that uses the reader.
    void start();
    // Cancels the read in progress (the reader is closed by then) and ends
    // the thread. A client read waiting or running gets VESSIK_E_CANCELLED.
    void stop();

    // True once the client asking for a read has gone away.
    using Abandoned = std::function<bool()>;

    // One read for a client: a vessik_read result. VESSIK_E_BUSY at once
    // while another client's read is queued or running. A read whose client
    // has gone (`abandoned`, asked every few milliseconds) is cancelled, so
    // that the reader is free for the next one well before the deadline.
    int read(unsigned deadline_ms, vessik_card *card, const Abandoned &abandoned = nullptr);

    // Streams opened or closed, or the reader came or went.
    void wake();

    // A client's read is queued or running.
    bool client_read_active() const;
    // A watch read for the event streams is running.
    bool watching() const;

  private:
    enum class Slot { Empty, Queued, Running, Done };

    // A watch read is renewed this often; it ends sooner for a card, a
    // client read, the last stream closing or a stop.
    static constexpr unsigned kWatchDeadlineMs = 30000;
    static constexpr unsigned kCancelRepeatMs = 20;
    static constexpr unsigned kIdleRecheckMs = 500;
    static constexpr unsigned kTroublePauseMs = 500;
    // A read that looks for the card still lying there ends after this
    // long, or after twice the last card read's own time if that is more.
    static constexpr unsigned kPresenceDeadlineMs = 1500;

    void run();
    // The library's status callback: it runs once the reader is open, after
    // the read has cleared any earlier cancel, so a watch read that lost a
    // cancel before then is cancelled here instead.
    static void on_read_status(int kind, void *message);
    void yield_if_asked();
    void serve_client(std::unique_lock<std::mutex> &lock);
    void watch_once(std::unique_lock<std::mutex> &lock);
    int read_card(unsigned deadline_ms, bool watch, bool report_same_card, vessik_card *card);
    // Called with the lock held after every read, a client's or the watch's:
    // keeps what is known of the card on the reader, and tells the streams
    // of a card the watch found that is not the one known to lie there (a
    // client's card is the client's alone).
    void note_result(int result, const vessik_card &card, bool presence_check, bool watched);

    WorkerHooks hooks_;
    mutable std::mutex mutex_;
    std::condition_variable wake_; // for the worker
    std::condition_variable done_; // for clients and stop()
    Slot slot_ = Slot::Empty;
    unsigned request_deadline_ms_ = 0;
    int result_ = VESSIK_OK;
    vessik_card card_{};
    bool watch_running_ = false;
    // The card last read and not yet seen gone: a keyed hash of its text
    // (vessik::KeyedHash; the text itself is not kept), and how long reading
    // it took. It stays known while nobody watches, so a stream opened later
    // is not sent a card that was lying there already.
    bool card_on_reader_ = false;
    uint64_t card_digest_ = 0;
    unsigned card_read_ms_ = 0;
    bool reader_refinds_ = false; // a card was seen again after its read
    bool stopping_ = false;
    bool exited_ = false;
    std::thread thread_;
};

} // namespace vessikd

#endif
