// SPDX-License-Identifier: LGPL-2.1-or-later
// The one thread that uses a reader; vessikd runs one for each reader it
// serves. Client reads and the watch for event streams take turns on it, so
// two users never meet on the reader: a client read waits for nothing but
// the watch read in progress, which it cancels.
//
// Only the watch announces cards: a client's read goes to that client alone.
// The watch also tells when the card read last is lifted: while a card is
// known to lie there it waits for the card to leave
// (vessik_reader_wait_removed), and looks for a new card once it has. A
// module that cannot tell a lifted card from one left lying is never said
// to have lost its card; the watch then looks for the next presentation.
//
// Reads and waits are stopped through cancel tokens, which stay cancelled
// until the worker resets them for the next one: a cancel that comes just
// before a read begins still stops it.
//
// The reader is opened once, on the worker's thread, and kept open: the
// module's identifier is known from then on. A reader lost under a read is
// closed and opened afresh for the next one.
#ifndef VESSIKD_READER_WORKER_H
#define VESSIKD_READER_WORKER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "vessik_read.h"

namespace vessikd {

// What the worker tells the service of, and asks it.
struct WorkerHooks {
    std::function<void(const vessik_card &)> card_laid_down; // a new card the watch found
    std::function<void()> card_removed;                      // the card read last is gone
    std::function<bool()> want_watch;                        // event streams are open
    std::function<void()> reader_trouble;                    // a read found no reader or lost it
    bool answer_driven = false; // reads wait for the module's answer itself
};

// What a client asks a read for beside the text and the photo.
struct ReadRequest {
    unsigned deadline_ms = 0;
    bool fingerprints = false;
    bool appended_address = false;
};

// The reader as the worker knows it, for listings.
struct ReaderState {
    std::string module_id_hex;   // empty until the reader has opened
    bool open_tried = false;     // the reader has been opened, or tried
    int open_result = VESSIK_OK; // the last open's result
    bool client_read = false;    // a client's read is queued or running
    bool watching = false;       // a watch read runs
};

class ReaderWorker {
  public:
    // `location` is what vessik_reader_open takes for the reader.
    ReaderWorker(std::string location, WorkerHooks hooks);
    ~ReaderWorker();
    ReaderWorker(const ReaderWorker &) = delete;
    ReaderWorker &operator=(const ReaderWorker &) = delete;

    // Starts the thread that uses the reader.
    void start();
    // Cancels the read in progress, closes the reader and ends the thread.
    // A client read waiting or running gets VESSIK_E_CANCELLED, or
    // VESSIK_E_READER_LOST when `reader_gone` (it was unplugged). Once only;
    // later calls return at once.
    void stop(bool reader_gone = false);

    // True once the client asking for a read has gone away.
    using Abandoned = std::function<bool()>;

    // One read for a client: a vessik_read result. VESSIK_E_BUSY at once
    // while another client's read is queued or running. A read whose client
    // has gone (`abandoned`, asked every few milliseconds) is cancelled, so
    // that the reader is free for the next one well before the deadline.
    int read(const ReadRequest &request, vessik_card *card, const Abandoned &abandoned = nullptr);

    // Streams opened or closed, or the reader came or went.
    void wake();

    // A client's read is queued or running.
    bool client_read_active() const;
    // A watch read for the event streams is running.
    bool watching() const;
    // The module's identifier, the last open's result and what runs now.
    ReaderState state() const;

    // Whether a read that took `took_us` in all found its card at its first
    // find, that is whether the card lay there when the read began: beside
    // the card's own exchanges it then spent only the status question that
    // opens every read, where one that waited spent a find that missed and a
    // pause besides.
    static bool found_at_once(uint64_t took_us, const vessik_card &card)
    {
        const uint64_t card_us =
            static_cast<uint64_t>(card.find_us) + card.select_us + card.read_us + card.decode_us;
        const uint64_t waited_us = took_us > card_us ? took_us - card_us : 0;
        return waited_us <
               card.find_us + static_cast<uint64_t>(VESSIK_DEFAULT_POLL_INTERVAL_MS) * kUsPerMs;
    }

  private:
    enum class Slot { Empty, Queued, Running, Done };

    // A watch read or wait is renewed this often; it ends sooner for a
    // card, a card lifted, a client read, the last stream closing or a stop.
    static constexpr unsigned kWatchDeadlineMs = 30000;
    // A card lying there is looked for this often: its removal is told
    // within about this long, at a third less USB work than every 100 ms.
    static constexpr unsigned kRemovalPollMs = 150;
    // How often a client waiting for its read is asked whether it is gone.
    static constexpr unsigned kAbandonCheckMs = 20;
    static constexpr unsigned kIdleRecheckMs = 500;
    static constexpr unsigned kTroublePauseMs = 500;
    // A reader that would not open (another program held it) is tried again
    // this often while idle, so that its listing mends by itself.
    static constexpr unsigned kReopenPauseMs = 2000;
    static constexpr uint64_t kUsPerMs = 1000;

    void run();
    // Opens the reader if it is not open (on the worker's thread).
    int ensure_open();
    void close_reader();
    void serve_client(std::unique_lock<std::mutex> &lock);
    void watch_once(std::unique_lock<std::mutex> &lock);
    // Waits for the card known to lie there to leave.
    int wait_removed();
    int read_card(const ReadRequest &request, bool watch, bool report_same_card, vessik_card *card);
    // Called with the lock held after every read, a client's or the watch's:
    // keeps what is known of the card on the reader, and tells the streams
    // of a card the watch found laid while they were open (`announce`; a
    // client's card is the client's alone).
    void note_result(int result, const vessik_card &card, bool announce);
    // After a wait for the card to leave, with the lock held.
    void note_removal(int result);

    const std::string location_;
    WorkerHooks hooks_;
    mutable std::mutex mutex_;
    // Set and cleared by the worker's thread under the lock; others use it
    // under the lock only, to cancel.
    vessik_reader *reader_ = nullptr;
    bool open_tried_ = false;
    int open_result_ = VESSIK_OK;
    std::chrono::steady_clock::time_point last_open_try_;
    std::string module_id_hex_;
    std::condition_variable wake_; // for the worker
    std::condition_variable done_; // for clients and stop()
    Slot slot_ = Slot::Empty;
    ReadRequest request_;
    int result_ = VESSIK_OK;
    vessik_card card_{};
    bool watch_running_ = false;
    // Stop the watch's read or wait, and the client's read; reset by the
    // worker, under the lock, before each.
    vessik_cancel_token *watch_cancel_ = nullptr;
    vessik_cancel_token *client_cancel_ = nullptr;
    // A card was read and not yet seen gone. It stays known while nobody
    // watches, so a stream opened later is not sent a card that was lying
    // there already.
    bool card_on_reader_ = false;
    // The module cannot tell when that card leaves: the watch looks for
    // the next presentation instead.
    bool removal_unknown_ = false;
    // The watch has looked at the reader without a break since the streams
    // opened: a card it finds is one laid while they were open. The first
    // look after a break (no streams, the reader lost) cannot tell, and a
    // card lying there at once is taken as one laid before.
    bool observing_ = false;
    bool stopping_ = false;
    bool reader_gone_ = false;
    bool exited_ = false;
    std::thread thread_;
};

} // namespace vessikd

#endif
