// SPDX-License-Identifier: LGPL-2.1-or-later
// A read on one reader handle: the shared poll engine over the handle's
// link, with a deadline, cancellation, a budget for slow answers and the
// memory of the last card.
#include "reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "card_text.h"
#include "diag.h"
#include "frame.h"
#include "keyed_hash.h"
#include "poll_engine.h"
#include "timing.h"
#include "wipe.h"

namespace vessik {
namespace {

using diag::kMsgConnectErr;
using diag::kMsgConnectOk;
using diag::kMsgReadOk;
using diag::kStatusKind;

// Every answer may take this long in all: slow modules are waited for. The
// wait goes in slices so that a cancel or the deadline is seen between them.
constexpr int kAnswerBudgetMs = 1000;
constexpr int kAnswerSliceMs = 50;
// The identifier follows the module's three status bytes.
constexpr int kModuleIdOffset = answer::kPosModuleStatus + 1;
constexpr int kHexDigitsPerByte = 2;

struct Session {
    vessik_reader *reader = nullptr;
    const vessik_read_options *options = nullptr;
    uint64_t deadline_us = 0; // 0: none
    bool report_same_card = false;
    bool cancelled = false;
    CardAnswer card; // the card accepted
};

bool ShouldStop(void *context)
{
    Session *session = static_cast<Session *>(context);
    if (CancelRequested(session->reader, *session->options)) {
        session->cancelled = true;
        return true;
    }
    return session->deadline_us != 0 && MonotonicUs() >= session->deadline_us;
}

void OnNoCard(void *context)
{
    static_cast<Session *>(context)->reader->absent_since_last = true;
}

// A card whose text is the last one read, with no find in between that
// missed it, is still lying on the reader: it is not reported again.
bool AcceptCard(void *context, const CardAnswer &card)
{
    Session *session = static_cast<Session *>(context);
    const vessik_reader *reader = session->reader;
    const bool accepted = session->report_same_card || !reader->have_last ||
                          reader->absent_since_last ||
                          KeyedHash(card.text, answer::kTextBytes) != reader->last_block_hash;
    if (accepted)
        session->card = card;
    return accepted;
}

void KeepModuleId(vessik_reader *reader, const unsigned char *answer, int count)
{
    if (count <= kModuleIdOffset || answer[answer::kPosModuleStatus] != answer::kStatusSuccess ||
        !AnswerFits(answer, count, -1))
        return;
    const int len = std::min(count - kModuleIdOffset - answer::kCheckByteBytes,
                             static_cast<int>(sizeof reader->module_id));
    std::lock_guard<std::mutex> lock(reader->info_mu);
    memcpy(reader->module_id, answer + kModuleIdOffset, static_cast<size_t>(len));
    reader->module_id_len = len;
}

void OnModuleAnswer(void *context, const unsigned char *answer, int count)
{
    KeepModuleId(static_cast<Session *>(context)->reader, answer, count);
}

void Report(const vessik_read_options &options, const char *message)
{
    ReportStatus(options, message);
}

// Answer-driven reads wait for the answer itself within the whole time the
// fixed wait and the answer's budget would give it.
AnswerWait AnswerDrivenWait(bool (*should_stop)(void *), void *context)
{
    AnswerWait wait = SlicedWait(should_stop, context);
    wait.budget_ms = kAnswerBudgetMs + static_cast<int>(timing::kWaitAfterReadCardUs / 1000u);
    wait.whole_frame = true;
    return wait;
}

// One command and its answer outside a poll.
int Ask(ReaderLink &link, const unsigned char *frame, unsigned char *answer, int capacity,
        const AnswerWait &wait)
{
    if (link.Send(frame, frame::kCommandFrameBytes) != SendResult::Sent)
        return kReceiveNothing;
    return link.Receive(answer, capacity, wait);
}

int ItemState(bool asked, bool present)
{
    if (!asked)
        return VESSIK_ITEM_NOT_ASKED;
    return present ? VESSIK_ITEM_PRESENT : VESSIK_ITEM_ABSENT;
}

void TakeFingerprints(const CardAnswer &card, const PollSettings &settings, vessik_card *whole)
{
    if (!settings.want_fingerprints)
        return;
    if (!card.with_fingerprints) {
        whole->fingerprint_state =
            settings.fingerprints_refused ? VESSIK_ITEM_UNSUPPORTED : VESSIK_ITEM_NOT_READ;
        return;
    }
    whole->fingerprint_state = ItemState(true, card.fingerprint_bytes > 0);
    whole->fingerprint_count = card.fingerprint_bytes / answer::kFingerprintTemplateBytes;
    whole->fingerprint_bytes = static_cast<unsigned>(card.fingerprint_bytes);
    memcpy(whole->fingerprints, card.fingerprints, static_cast<size_t>(card.fingerprint_bytes));
}

// The answer to 30 03: with 90 its payload is the address; a command the
// module does not know, or no answer at all, says nothing about the card.
void TakeAppendedAddress(const PollSettings &settings, vessik_card *whole)
{
    if (!settings.want_appended_address)
        return;
    const unsigned char *answer = settings.appended_answer;
    const int count = settings.appended_count;
    if (!AnswerFits(answer, count, -1)) {
        whole->appended_address_state = VESSIK_ITEM_NOT_READ;
        return;
    }
    if (CommandRefused(answer, count)) {
        whole->appended_address_state = VESSIK_ITEM_UNSUPPORTED;
        return;
    }
    const int payload = count - answer::kPayloadOffset - answer::kCheckByteBytes;
    const bool present = answer[answer::kPosModuleStatus] == answer::kStatusSuccess && payload > 0;
    whole->appended_address_state = ItemState(true, present);
    if (present)
        DecodeAppendedAddress(answer + answer::kPayloadOffset, payload, whole);
}

// The full card, decoded, then handed over at the caller's size.
void DeliverCard(const CardAnswer &card, const Session &session, const PollSettings &settings,
                 uint64_t decode_start, vessik_card *out)
{
    vessik_card whole;
    memset(&whole, 0, sizeof whole);
    memcpy(whole.text_block, card.text, answer::kTextBytes);
    memcpy(whole.photo, card.photo, answer::kPhotoBytes);
    DecodeCardFields(whole.text_block, &whole);
    TakeFingerprints(card, settings, &whole);
    TakeAppendedAddress(settings, &whole);
    snprintf(whole.reader, sizeof whole.reader, "%s", session.reader->link->location());
    whole.find_us = settings.find_us;
    whole.select_us = settings.select_us;
    whole.read_us = settings.read_us;
    whole.decode_us = static_cast<unsigned>(MonotonicUs() - decode_start);
    whole.size = sizeof whole;
    CopySized(out, &whole, sizeof whole);
    // The card is the caller's now; no copy of it stays here.
    WipeSecret(&whole, sizeof whole);
}

// Learns from each card read whether the select answer names the card: an
// answer of zeros never does, nor one that differs for the same card or is
// the same for two cards; two cards with two answers show that it does,
// unless something said otherwise before.
void LearnSelectAnswer(vessik_reader *reader, uint64_t hash, const PollSettings &settings)
{
    using Tells = vessik_reader::SelectTells;
    reader->have_last_select = settings.select_payload_seen;
    if (!settings.select_payload_seen)
        return;
    const unsigned char *payload = settings.select_payload;
    memcpy(reader->last_select, payload, sizeof reader->last_select);
    const bool zeros = std::all_of(payload, payload + answer::kSelectPayloadBytes,
                                   [](unsigned char b) { return b == 0; });
    if (zeros) {
        reader->select_tells = Tells::No;
    } else if (reader->have_select_seen) {
        const bool same_card = hash == reader->select_seen_hash;
        const bool same_answer =
            memcmp(payload, reader->select_seen, answer::kSelectPayloadBytes) == 0;
        if (same_card != same_answer)
            reader->select_tells = Tells::No;
        else if (!same_card && reader->select_tells == Tells::Unknown)
            reader->select_tells = Tells::Yes;
    }
    reader->select_seen_hash = hash;
    memcpy(reader->select_seen, payload, sizeof reader->select_seen);
    reader->have_select_seen = true;
}

} // namespace

AnswerWait SlicedWait(bool (*should_stop)(void *), void *context)
{
    AnswerWait wait;
    wait.stage_ms = timing::kDocumentedAnswerTimeoutMs;
    wait.budget_ms = kAnswerBudgetMs;
    wait.slice_ms = kAnswerSliceMs;
    wait.should_stop = should_stop;
    wait.context = context;
    return wait;
}

bool CancelRequested(const vessik_reader *reader, const vessik_read_options &options)
{
    return reader->cancel.load() != 0 ||
           (options.cancel_token != nullptr && options.cancel_token->cancelled.load() != 0);
}

void ReportStatus(const vessik_read_options &options, const char *message)
{
    if (options.callback != nullptr)
        options.callback(kStatusKind, const_cast<char *>(message));
    if (options.status_callback != nullptr)
        options.status_callback(kStatusKind, message, options.callback_context);
}

void ForgetModule(vessik_reader *reader)
{
    reader->module_refinds = false;
    reader->select_tells = vessik_reader::SelectTells::Unknown;
    reader->have_select_seen = false;
    reader->card_on_reader = false;
    // Another module may answer at the same place now: it gets asked for
    // fingerprints again.
    reader->fingerprints_refused = false;
    reader->fingerprints_unanswered = false;
}

void CopySized(void *dest, const void *source, size_t source_size)
{
    unsigned int dest_size = 0;
    memcpy(&dest_size, dest, sizeof dest_size);
    memcpy(dest, source, std::min(static_cast<size_t>(dest_size), source_size));
    memcpy(dest, &dest_size, sizeof dest_size);
}

int ReaderPlace(vessik_reader *reader, const char *where, LocationKind *kind)
{
    Location location;
    const int parsed = ParseLocation(where, &location);
    if (parsed != VESSIK_OK)
        return parsed;
    reader->link = MakeLink(location);
    if (reader->link == nullptr)
        return VESSIK_E_NO_MEMORY;
    if (kind != nullptr)
        *kind = location.kind;
    return VESSIK_OK;
}

int ReaderOpen(vessik_reader *reader)
{
    const int opened = reader->link->Open();
    if (opened != VESSIK_OK)
        return opened;
    ForgetModule(reader);
    // Ask the module who it is, once: the answer names the reader in logs
    // and in vessik_reader_get_info.
    unsigned char answer[usb::kReplyBufferBytes] = {};
    const int count = Ask(*reader->link, frame::kModuleIdCommand.bytes, answer, sizeof answer,
                          SlicedWait(nullptr, nullptr));
    KeepModuleId(reader, answer, count);
    // A module may still be sending the card an earlier program asked for.
    WipeSecret(answer, sizeof answer);
    return VESSIK_OK;
}

int ReaderRead(vessik_reader *reader, const vessik_read_options &options, vessik_card *card)
{
    Session session;
    session.reader = reader;
    session.options = &options;
    session.report_same_card = options.report_same_card != 0;
    if (options.deadline_ms != 0)
        session.deadline_us = MonotonicUs() + static_cast<uint64_t>(options.deadline_ms) * 1000u;

    // A handle whose reader went away opens it again at the same place.
    if (!reader->link->IsOpen()) {
        const int opened = reader->link->Open();
        if (opened != VESSIK_OK) {
            Report(options, kMsgConnectErr);
            return opened;
        }
        ForgetModule(reader);
        Report(options, kMsgConnectOk);
    }

    PollSettings settings;
    settings.wait = SlicedWait(ShouldStop, &session);
    const unsigned interval_ms =
        options.poll_interval_ms != 0 ? options.poll_interval_ms : VESSIK_DEFAULT_POLL_INTERVAL_MS;
    settings.idle_pause_us = static_cast<uint64_t>(interval_ms) * 1000u;
    settings.wait_slice_us = timing::kExtendedWaitSliceUs;
    settings.status_before_every_find = false;
    settings.strict_answers = true;
    settings.should_stop = ShouldStop;
    settings.on_no_card = OnNoCard;
    settings.accept_card = AcceptCard;
    settings.on_module_answer = OnModuleAnswer;
    settings.context = &session;

    settings.want_fingerprints = options.want_fingerprints != 0;
    settings.fingerprints_refused = reader->fingerprints_refused;
    settings.fingerprints_unanswered = reader->fingerprints_unanswered;
    settings.answer_driven = options.answer_driven != 0;
    settings.read_wait = AnswerDrivenWait(ShouldStop, &session);
    unsigned char appended[usb::kReplyBufferBytes];
    settings.want_appended_address = options.want_appended_address != 0;
    settings.appended_answer = appended;
    settings.appended_capacity = sizeof appended;

    unsigned char answer[answer::kLargestAnswerBytes];
    const PollOutcome outcome =
        CardPoll<ReaderLink>(*reader->link, settings).Run(answer, sizeof answer);
    reader->fingerprints_refused = settings.fingerprints_refused;
    reader->fingerprints_unanswered = settings.fingerprints_unanswered;
    int result = VESSIK_OK;
    if (outcome == PollOutcome::CardRead) {
        Report(options, kMsgReadOk);
        DeliverCard(session.card, session, settings, MonotonicUs(), card);
        reader->last_block_hash = KeyedHash(session.card.text, answer::kTextBytes);
        reader->have_last = true;
        reader->absent_since_last = false;
        reader->card_on_reader = true;
        LearnSelectAnswer(reader, reader->last_block_hash, settings);
    } else if (outcome == PollOutcome::ReaderLost) {
        Report(options, kMsgConnectErr);
        diag::LogFormat(diag::kLogWarning, "the reader at %s is gone", reader->link->location());
        ReaderClose(reader);
        result = VESSIK_E_READER_LOST;
    } else {
        result = session.cancelled ? VESSIK_E_CANCELLED : VESSIK_E_TIMEOUT;
    }
    WipeSecret(answer, sizeof answer);
    WipeSecret(appended, sizeof appended);
    return result;
}

void ReaderDescribe(vessik_reader *reader, vessik_reader_info *info)
{
    vessik_reader_info whole;
    memset(&whole, 0, sizeof whole);
    whole.size = sizeof whole;
    reader->link->Describe(&whole);
    {
        std::lock_guard<std::mutex> lock(reader->info_mu);
        whole.module_id_len = reader->module_id_len;
        memcpy(whole.module_id, reader->module_id, sizeof whole.module_id);
    }
    for (int i = 0; i < whole.module_id_len; ++i)
        snprintf(whole.module_id_hex + static_cast<ptrdiff_t>(kHexDigitsPerByte) * i,
                 kHexDigitsPerByte + 1, "%02x", whole.module_id[i]);
    CopySized(info, &whole, sizeof whole);
}

int ReaderSetRate(vessik_reader *reader, int rate)
{
    return reader->link->SetRate(rate, SlicedWait(nullptr, nullptr));
}

void ReaderClose(vessik_reader *reader)
{
    reader->link->Close();
}

} // namespace vessik
