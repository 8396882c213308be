// SPDX-License-Identifier: LGPL-2.1-or-later
// The one thread that uses a reader (see reader_worker.h).
#include "reader_worker.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "card_memory.h"

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

} // namespace

ReaderWorker::ReaderWorker(std::string location, WorkerHooks hooks)
    : location_(std::move(location)), hooks_(std::move(hooks)),
      watch_cancel_(vessik_cancel_token_new()), client_cancel_(vessik_cancel_token_new())
{
    keep_out_of_swap(&card_, sizeof(card_));
}

ReaderWorker::~ReaderWorker()
{
    stop();
    vessik_cancel_token_free(watch_cancel_);
    vessik_cancel_token_free(client_cancel_);
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
    vessik_cancel_token_cancel(watch_cancel_);
    vessik_cancel_token_cancel(client_cancel_);
    wake_.notify_all();
    done_.wait(lock, [this] { return exited_; });
    lock.unlock();
    thread_.join();
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
    // The watch gives the reader up to a client. The worker resets the
    // token only once it sees no client waiting, so this cancel is not lost.
    vessik_cancel_token_cancel(watch_cancel_);
    wake_.notify_all();
    while (slot_ != Slot::Done) {
        // The client token is reset before this read runs and only this
        // read uses it until it is done.
        if (slot_ == Slot::Running && abandoned && abandoned())
            vessik_cancel_token_cancel(client_cancel_);
        done_.wait_for(lock, ms(kAbandonCheckMs));
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
    // The watch token is the watch's alone: a client's read never sees it.
    if (!hooks_.want_watch())
        vessik_cancel_token_cancel(watch_cancel_);
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
        vessik_cancel_token_reset(client_cancel_);
        const ReadRequest request = request_;
        lock.unlock();
        // A client asks for the card on the reader now, even one read
        // before and never lifted.
        result = read_card(request, false, true, &card_);
        lock.lock();
        note_result(result, card_, false);
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
    // Nobody may stop this watch round before now: a client queued or a
    // stop sends the run loop elsewhere, and a later cancel stays.
    vessik_cancel_token_reset(watch_cancel_);
    // With a card known on the reader, wait for it to leave. Otherwise
    // wait for a new card, which the streams hear of once per presentation.
    if (card_on_reader_ && !removal_unknown_) {
        lock.unlock();
        const int result = wait_removed();
        lock.lock();
        watch_running_ = false;
        note_removal(result);
        if (result == VESSIK_OK || result == VESSIK_E_TIMEOUT)
            observing_ = true;
        if (reader_unusable(result) && result != VESSIK_E_NOT_SUPPORTED)
            wake_.wait_for(lock, ms(kTroublePauseMs),
                           [this] { return stopping_ || slot_ == Slot::Queued; });
        return;
    }
    const bool first_look = !observing_;
    ReadRequest request;
    request.deadline_ms = kWatchDeadlineMs;
    lock.unlock();
    vessik_card card;
    keep_out_of_swap(&card, sizeof(card));
    std::memset(&card, 0, sizeof(card));
    const auto started = std::chrono::steady_clock::now();
    // The first look takes whatever lies there, unless it is the card known
    // to lie there already, so that it is known rather than held back.
    const bool take_lying = first_look && !card_on_reader_;
    const int result = read_card(request, true, take_lying, &card);
    const auto took_us =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::steady_clock::now() - started)
                                  .count());
    lock.lock();
    watch_running_ = false;
    // A card that lay there before any stream could hear of it is not news
    // to the streams now open.
    const bool lay_before = first_look && result == VESSIK_OK && found_at_once(took_us, card);
    note_result(result, card, !lay_before);
    if (result == VESSIK_OK || result == VESSIK_E_TIMEOUT)
        observing_ = true;
    explicit_bzero(&card, sizeof(card));
    if (reader_unusable(result))
        wake_.wait_for(lock, ms(kTroublePauseMs),
                       [this] { return stopping_ || slot_ == Slot::Queued; });
}

int ReaderWorker::wait_removed()
{
    const int opened = ensure_open();
    if (opened != VESSIK_OK)
        return opened;
    vessik_read_options options;
    vessik_read_options_init(&options);
    options.deadline_ms = kWatchDeadlineMs;
    options.poll_interval_ms = kRemovalPollMs;
    options.cancel_token = watch_cancel_;
    const int result = vessik_reader_wait_removed(reader_, &options);
    if (result == VESSIK_E_READER_LOST)
        close_reader();
    return result;
}

void ReaderWorker::note_removal(int result)
{
    if (result == VESSIK_OK) {
        card_on_reader_ = false;
        if (hooks_.card_removed)
            hooks_.card_removed();
    } else if (result == VESSIK_E_NOT_SUPPORTED) {
        removal_unknown_ = true;
    } else if (reader_trouble(result)) {
        note_result(result, card_, false);
    }
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
    options.cancel_token = watch ? watch_cancel_ : client_cancel_;
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

void ReaderWorker::note_result(int result, const vessik_card &card, bool announce)
{
    if (result == VESSIK_OK) {
        card_on_reader_ = true;
        removal_unknown_ = false;
        if (announce && hooks_.card_laid_down)
            hooks_.card_laid_down(card);
        return;
    }
    if (reader_trouble(result)) {
        // Another reader may come back in its place.
        card_on_reader_ = false;
        removal_unknown_ = false;
        observing_ = false;
        if (hooks_.reader_trouble)
            hooks_.reader_trouble();
    }
}

} // namespace vessikd
