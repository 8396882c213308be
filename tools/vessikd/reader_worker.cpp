// The one thread that uses the reader (see reader_worker.h).
#include "reader_worker.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include "keyed_hash.h"

namespace vessikd {

namespace {

std::chrono::milliseconds ms(unsigned n)
{
    return std::chrono::milliseconds(n);
}

bool reader_trouble(int code)
{
    return code == VESSIK_E_NO_READER || code == VESSIK_E_READER_LOST;
}

constexpr unsigned kUsPerMs = 1000;

// The library's callback carries no context; one worker runs per process,
// as the library allows one read at a time.
std::atomic<ReaderWorker *> g_worker{nullptr};

} // namespace

void ReaderWorker::start()
{
    g_worker.store(this);
    thread_ = std::thread(&ReaderWorker::run, this);
}

void ReaderWorker::stop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
    // A cancel that lands just before a read starts is lost (the read
    // clears it), so it is repeated until the thread is out.
    while (!exited_) {
        vessik_cancel();
        done_.wait_for(lock, ms(kCancelRepeatMs));
    }
    lock.unlock();
    if (thread_.joinable())
        thread_.join();
    g_worker.store(nullptr);
}

int ReaderWorker::read(unsigned deadline_ms, vessik_card *card, const Abandoned &abandoned)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_)
        return VESSIK_E_CANCELLED;
    if (slot_ != Slot::Empty)
        return VESSIK_E_BUSY;
    slot_ = Slot::Queued;
    request_deadline_ms_ = deadline_ms;
    wake_.notify_all();
    while (slot_ == Slot::Queued) {
        // The watch gives the reader up to a client: cancel it until the
        // worker has taken the request (a cancel landing between two watch
        // reads is cleared by the next read, so it is repeated).
        if (watch_running_)
            vessik_cancel();
        done_.wait_for(lock, ms(kCancelRepeatMs));
    }
    while (slot_ != Slot::Done) {
        // Cancels go out under the lock only while this read runs (the
        // worker marks it done under the lock), so none reaches another
        // read; one lost before the read began is repeated here.
        if (slot_ == Slot::Running && abandoned && abandoned())
            vessik_cancel();
        done_.wait_for(lock, ms(kCancelRepeatMs));
    }
    const int result = result_;
    if (result == VESSIK_OK)
        *card = card_;
    std::memset(&card_, 0, sizeof(card_)); // the card is the client's now
    slot_ = Slot::Empty;
    return result;
}

void ReaderWorker::wake()
{
    std::lock_guard<std::mutex> lock(mutex_);
    // Cancels go out under the lock only while the watch read runs, so
    // none can reach a client's read.
    if (watch_running_ && !hooks_.want_watch())
        vessik_cancel();
    wake_.notify_all();
}

bool ReaderWorker::client_read_active() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return slot_ == Slot::Queued || slot_ == Slot::Running;
}

bool ReaderWorker::watching() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return watch_running_;
}

void ReaderWorker::on_read_status(int /*kind*/, void * /*message*/)
{
    ReaderWorker *worker = g_worker.load();
    if (worker != nullptr)
        worker->yield_if_asked();
}

void ReaderWorker::yield_if_asked()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (watch_running_ && (stopping_ || slot_ == Slot::Queued || !hooks_.want_watch()))
        vessik_cancel();
}

void ReaderWorker::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (slot_ == Slot::Queued) {
            serve_client(lock);
            continue;
        }
        if (stopping_)
            break;
        if (hooks_.want_watch() && hooks_.reader_present()) {
            watch_once(lock);
            continue;
        }
        wake_.wait_for(lock, ms(kIdleRecheckMs));
    }
    exited_ = true;
    done_.notify_all();
}

void ReaderWorker::serve_client(std::unique_lock<std::mutex> &lock)
{
    int result = VESSIK_E_CANCELLED;
    if (!stopping_) {
        slot_ = Slot::Running;
        const unsigned deadline = request_deadline_ms_;
        lock.unlock();
        // A client asks for the card on the reader now, even one read
        // before and never lifted.
        result = read_card(deadline, false, true, &card_);
        lock.lock();
        note_result(result, card_, false, false);
    }
    result_ = result;
    slot_ = Slot::Done;
    done_.notify_all();
}

void ReaderWorker::watch_once(std::unique_lock<std::mutex> &lock)
{
    watch_running_ = true;
    // With a card known on the reader, look for it again: found, it lies
    // there still (or another lies in its place, which is news); not found
    // before the deadline, it is gone. Otherwise wait for a new card, which
    // the streams hear of once per presentation.
    const bool presence_check = card_on_reader_;
    const unsigned deadline =
        presence_check ? std::max(kPresenceDeadlineMs, 2 * card_read_ms_) : kWatchDeadlineMs;
    lock.unlock();
    vessik_card card;
    std::memset(&card, 0, sizeof(card));
    const int result = read_card(deadline, true, presence_check, &card);
    lock.lock();
    watch_running_ = false;
    note_result(result, card, presence_check, true);
    std::memset(&card, 0, sizeof(card));
    if (reader_trouble(result))
        wake_.wait_for(lock, ms(kTroublePauseMs),
                       [this] { return stopping_ || slot_ == Slot::Queued; });
}

int ReaderWorker::read_card(unsigned deadline_ms, bool watch, bool report_same_card,
                            vessik_card *card)
{
    vessik_card_init(card);
    vessik_read_options options;
    vessik_read_options_init(&options);
    options.deadline_ms = deadline_ms;
    options.report_same_card = report_same_card ? 1 : 0;
    options.callback = watch ? on_read_status : nullptr;
    return vessik_read(&options, card);
}

void ReaderWorker::note_result(int result, const vessik_card &card, bool presence_check,
                               bool watched)
{
    if (result == VESSIK_OK) {
        const uint64_t digest = vessik::KeyedHash(card.text_block, sizeof(card.text_block));
        const bool same = card_on_reader_ && digest == card_digest_;
        if (same && presence_check)
            reader_refinds_ = true;
        card_on_reader_ = true;
        card_digest_ = digest;
        card_read_ms_ = (card.find_us + card.select_us + card.read_us) / kUsPerMs;
        // The card known to lie there is no news; another card in its place is.
        if (watched && !same && hooks_.card_laid_down)
            hooks_.card_laid_down(card);
        return;
    }
    if (result == VESSIK_E_TIMEOUT && card_on_reader_) {
        // A whole read found no card. Only a reader that finds cards again
        // says by that that the card has gone.
        card_on_reader_ = false;
        if (reader_refinds_ && hooks_.card_removed)
            hooks_.card_removed();
        return;
    }
    if (reader_trouble(result)) {
        // Another reader may come back in its place.
        card_on_reader_ = false;
        reader_refinds_ = false;
        if (hooks_.reader_trouble)
            hooks_.reader_trouble();
    }
}

} // namespace vessikd
