// SPDX-License-Identifier: LGPL-2.1-or-later
// The one thread that uses a reader (see reader_worker.h).
#include "reader_worker.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "card_memory.h"
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

// A read that ended for want of the reader itself (gone, held by another
// program, not ours to open): the watch pauses before it tries again.
bool reader_unusable(int code)
{
    return code != VESSIK_OK && code != VESSIK_E_TIMEOUT && code != VESSIK_E_CANCELLED;
}

// The library's status callback carries no context, but it is called on the
// thread that reads: each worker's thread knows its worker.
thread_local ReaderWorker *t_worker = nullptr;

} // namespace

ReaderWorker::ReaderWorker(std::string location, WorkerHooks hooks)
    : location_(std::move(location)), hooks_(std::move(hooks))
{
    keep_out_of_swap(&card_, sizeof(card_));
}

void ReaderWorker::start()
{
    thread_ = std::thread(&ReaderWorker::run, this);
}

void ReaderWorker::stop(bool reader_gone)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable() || stopping_)
        return;
    stopping_ = true;
    reader_gone_ = reader_gone;
    wake_.notify_all();
    // A cancel that lands just before a read starts is lost (the read
    // clears it), so it is repeated until the thread is out.
    while (!exited_) {
        cancel_locked();
        done_.wait_for(lock, ms(kCancelRepeatMs));
    }
    lock.unlock();
    thread_.join();
}

void ReaderWorker::cancel_locked()
{
    if (reader_ != nullptr)
        vessik_reader_cancel(reader_);
}

int ReaderWorker::read(const ReadRequest &request, vessik_card *card, const Abandoned &abandoned)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_)
        return reader_gone_ ? VESSIK_E_READER_LOST : VESSIK_E_CANCELLED;
    if (slot_ != Slot::Empty)
        return VESSIK_E_BUSY;
    slot_ = Slot::Queued;
    request_ = request;
    wake_.notify_all();
    while (slot_ == Slot::Queued) {
        // The watch gives the reader up to a client: cancel it until the
        // worker has taken the request (a cancel landing between two watch
        // reads is cleared by the next read, so it is repeated).
        if (watch_running_)
            cancel_locked();
        done_.wait_for(lock, ms(kCancelRepeatMs));
    }
    while (slot_ != Slot::Done) {
        // Cancels go out under the lock only while this read runs (the
        // worker marks it done under the lock), so none reaches another
        // read; one lost before the read began is repeated here.
        if (slot_ == Slot::Running && abandoned && abandoned())
            cancel_locked();
        done_.wait_for(lock, ms(kCancelRepeatMs));
    }
    const int result = result_;
    if (result == VESSIK_OK)
        *card = card_;
    explicit_bzero(&card_, sizeof(card_)); // the card is the client's now
    slot_ = Slot::Empty;
    return result;
}

void ReaderWorker::wake()
{
    std::lock_guard<std::mutex> lock(mutex_);
    // Cancels go out under the lock only while the watch read runs, so
    // none can reach a client's read.
    if (watch_running_ && !hooks_.want_watch())
        cancel_locked();
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

ReaderState ReaderWorker::state() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    ReaderState state;
    state.module_id_hex = module_id_hex_;
    state.open_tried = open_tried_;
    state.open_result = open_result_;
    state.client_read = slot_ == Slot::Queued || slot_ == Slot::Running;
    state.watching = watch_running_;
    return state;
}

void ReaderWorker::on_read_status(int /*kind*/, void * /*message*/)
{
    if (t_worker != nullptr)
        t_worker->yield_if_asked();
}

void ReaderWorker::yield_if_asked()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (watch_running_ && (stopping_ || slot_ == Slot::Queued || !hooks_.want_watch()))
        cancel_locked();
}

int ReaderWorker::ensure_open()
{
    if (reader_ != nullptr)
        return VESSIK_OK;
    vessik_reader *opened = nullptr;
    const int result = vessik_reader_open(location_.c_str(), &opened);
    std::string module_id;
    if (result == VESSIK_OK) {
        vessik_reader_info info;
        vessik_reader_info_init(&info);
        if (vessik_reader_get_info(opened, &info) == VESSIK_OK)
            module_id = info.module_id_hex;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    reader_ = opened;
    open_tried_ = true;
    last_open_try_ = std::chrono::steady_clock::now();
    open_result_ = result;
    if (result == VESSIK_OK)
        module_id_hex_ = module_id;
    return result;
}

void ReaderWorker::close_reader()
{
    vessik_reader *closing = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing = reader_;
        reader_ = nullptr;
    }
    vessik_reader_close(closing);
}

void ReaderWorker::run()
{
    t_worker = this;
    ensure_open(); // the module's identifier for the listing; a failure is retried by reads
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (slot_ == Slot::Queued) {
            serve_client(lock);
            continue;
        }
        if (stopping_)
            break;
        if (hooks_.want_watch()) {
            watch_once(lock);
            continue;
        }
        observing_ = false;
        if (reader_ == nullptr && open_result_ != VESSIK_OK &&
            std::chrono::steady_clock::now() - last_open_try_ >= ms(kReopenPauseMs)) {
            lock.unlock();
            ensure_open();
            lock.lock();
            continue;
        }
        wake_.wait_for(lock, ms(kIdleRecheckMs));
    }
    lock.unlock();
    close_reader();
    lock.lock();
    exited_ = true;
    done_.notify_all();
}

void ReaderWorker::serve_client(std::unique_lock<std::mutex> &lock)
{
    int result = VESSIK_E_CANCELLED;
    if (!stopping_) {
        slot_ = Slot::Running;
        const ReadRequest request = request_;
        lock.unlock();
        // A client asks for the card on the reader now, even one read
        // before and never lifted.
        result = read_card(request, false, true, &card_);
        lock.lock();
        note_result(result, card_, false, false);
    }
    // A read cut short because the reader was pulled out says so.
    if (result == VESSIK_E_CANCELLED && reader_gone_)
        result = VESSIK_E_READER_LOST;
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
    const bool first_look = !observing_;
    ReadRequest request;
    request.deadline_ms =
        presence_check ? std::max(kPresenceDeadlineMs, 2 * card_read_ms_) : kWatchDeadlineMs;
    lock.unlock();
    vessik_card card;
    keep_out_of_swap(&card, sizeof(card));
    std::memset(&card, 0, sizeof(card));
    const auto started = std::chrono::steady_clock::now();
    // The first look takes whatever lies there, even a card the library
    // last read, so that it is known rather than held back until lifted.
    const int result = read_card(request, true, presence_check || first_look, &card);
    const auto took_us =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::steady_clock::now() - started)
                                  .count());
    lock.lock();
    watch_running_ = false;
    // A card that lay there before any stream could hear of it is not news
    // to the streams now open.
    const bool lay_before = first_look && result == VESSIK_OK && found_at_once(took_us, card);
    note_result(result, card, presence_check, !lay_before);
    if (result == VESSIK_OK || result == VESSIK_E_TIMEOUT)
        observing_ = true;
    explicit_bzero(&card, sizeof(card));
    if (reader_unusable(result))
        wake_.wait_for(lock, ms(kTroublePauseMs),
                       [this] { return stopping_ || slot_ == Slot::Queued; });
}

int ReaderWorker::read_card(const ReadRequest &request, bool watch, bool report_same_card,
                            vessik_card *card)
{
    vessik_card_init(card);
    const int opened = ensure_open();
    if (opened != VESSIK_OK)
        return opened;
    vessik_read_options options;
    vessik_read_options_init(&options);
    options.deadline_ms = request.deadline_ms;
    options.report_same_card = report_same_card ? 1 : 0;
    options.callback = watch ? on_read_status : nullptr;
    options.want_fingerprints = request.fingerprints ? 1 : 0;
    options.want_appended_address = request.appended_address ? 1 : 0;
    options.answer_driven = hooks_.answer_driven ? 1 : 0;
    const int result = vessik_reader_read(reader_, &options, card);
    // A reader lost is opened afresh next time: another may sit in its
    // socket by then, with a module of its own.
    if (result == VESSIK_E_READER_LOST)
        close_reader();
    return result;
}

void ReaderWorker::note_result(int result, const vessik_card &card, bool presence_check,
                               bool announce)
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
        if (announce && !same && hooks_.card_laid_down)
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
        observing_ = false;
        if (hooks_.reader_trouble)
            hooks_.reader_trouble();
    }
}

} // namespace vessikd
