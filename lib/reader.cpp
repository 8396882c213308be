// A read on one reader handle: the shared poll engine over the handle's
// link, with a deadline, cancellation, a budget for slow answers and the
// memory of the last card.
#include "reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "card_text.h"
#include "diag.h"
#include "keyed_hash.h"
#include "poll_engine.h"
#include "timing.h"

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
constexpr int kCheckByteBytes = 1;
constexpr int kHexDigitsPerByte = 2;

struct Session {
    vessik_reader *reader = nullptr;
    uint64_t deadline_us = 0; // 0: none
    bool report_same_card = false;
    bool cancelled = false;
};

bool ShouldStop(void *context)
{
    Session *session = static_cast<Session *>(context);
    if (session->reader->cancel.load() != 0) {
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
bool AcceptCard(void *context, const unsigned char *answer)
{
    const Session *session = static_cast<const Session *>(context);
    const vessik_reader *reader = session->reader;
    if (session->report_same_card || !reader->have_last || reader->absent_since_last)
        return true;
    return KeyedHash(answer + answer::kTextOffset, answer::kTextBytes) != reader->last_block_hash;
}

void KeepModuleId(vessik_reader *reader, const unsigned char *answer, int count)
{
    if (count <= kModuleIdOffset || answer[answer::kPosModuleStatus] != answer::kStatusSuccess ||
        !AnswerFits(answer, count, -1))
        return;
    const int len = std::min(count - kModuleIdOffset - kCheckByteBytes,
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
    if (options.callback != nullptr)
        options.callback(kStatusKind, const_cast<char *>(message));
}

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

int OpenLink(vessik_reader *reader)
{
    if (reader->where.kind == LocationKind::Serial)
        return VESSIK_E_NOT_SUPPORTED;
    return reader->usb.Open(reader->where);
}

// The full card, decoded, then handed over at the caller's size.
void DeliverCard(const unsigned char *answer, const Session &session, const PollSettings &settings,
                 uint64_t decode_start, vessik_card *card)
{
    vessik_card whole;
    memset(&whole, 0, sizeof whole);
    memcpy(whole.text_block, answer + answer::kTextOffset, answer::kTextBytes);
    memcpy(whole.photo, answer + answer::kPhotoOffset, answer::kPhotoBytes);
    DecodeCardFields(whole.text_block, &whole);
    snprintf(whole.reader, sizeof whole.reader, "%s", session.reader->usb.location());
    whole.find_us = settings.find_us;
    whole.select_us = settings.select_us;
    whole.read_us = settings.read_us;
    whole.decode_us = static_cast<unsigned>(MonotonicUs() - decode_start);
    whole.size = sizeof whole;
    CopySized(card, &whole, sizeof whole);
    // The card is the caller's now; no copy of it stays here.
    memset(&whole, 0, sizeof whole);
}

} // namespace

void CopySized(void *dest, const void *source, size_t source_size)
{
    unsigned int dest_size = 0;
    memcpy(&dest_size, dest, sizeof dest_size);
    memcpy(dest, source, std::min(static_cast<size_t>(dest_size), source_size));
    memcpy(dest, &dest_size, sizeof dest_size);
}

int ReaderOpen(vessik_reader *reader)
{
    const int opened = OpenLink(reader);
    if (opened != VESSIK_OK)
        return opened;
    // Ask the module who it is, once: the answer names the reader in logs
    // and in vessik_reader_get_info.
    unsigned char answer[kReplyBufferBytes] = {};
    if (reader->usb.Send(SAM_M_Status, frame::kCommandFrameBytes) == SendResult::Sent) {
        const int count = reader->usb.Receive(answer, sizeof answer, SlicedWait(nullptr, nullptr));
        KeepModuleId(reader, answer, count);
    }
    return VESSIK_OK;
}

int ReaderRead(vessik_reader *reader, const vessik_read_options &options, vessik_card *card)
{
    Session session;
    session.reader = reader;
    session.report_same_card = options.report_same_card != 0;
    if (options.deadline_ms != 0)
        session.deadline_us = MonotonicUs() + static_cast<uint64_t>(options.deadline_ms) * 1000u;

    // A handle whose reader went away opens it again at the same place.
    if (!reader->usb.IsOpen()) {
        const int opened = OpenLink(reader);
        if (opened != VESSIK_OK) {
            Report(options, kMsgConnectErr);
            return opened;
        }
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

    unsigned char answer[kReplyBufferBytes];
    const PollOutcome outcome =
        CardPoll<UsbReaderLink>(reader->usb, settings).Run(answer, sizeof answer);
    int result = VESSIK_OK;
    if (outcome == PollOutcome::CardRead) {
        Report(options, kMsgReadOk);
        DeliverCard(answer, session, settings, MonotonicUs(), card);
        reader->last_block_hash = KeyedHash(answer + answer::kTextOffset, answer::kTextBytes);
        reader->have_last = true;
        reader->absent_since_last = false;
    } else if (outcome == PollOutcome::ReaderLost) {
        Report(options, kMsgConnectErr);
        diag::LogFormat(diag::kLogWarning, "the reader at %s is gone", reader->usb.location());
        reader->usb.Close();
        result = VESSIK_E_READER_LOST;
    } else {
        result = session.cancelled ? VESSIK_E_CANCELLED : VESSIK_E_TIMEOUT;
    }
    memset(answer, 0, sizeof answer);
    return result;
}

void ReaderDescribe(vessik_reader *reader, vessik_reader_info *info)
{
    vessik_reader_info whole;
    memset(&whole, 0, sizeof whole);
    whole.size = sizeof whole;
    if (reader->where.kind == LocationKind::Serial) {
        whole.transport = VESSIK_TRANSPORT_SERIAL;
        FormatSerialLocation(reader->where.serial_device, reader->where.serial_rate, whole.location,
                             sizeof whole.location);
    } else {
        whole.transport = VESSIK_TRANSPORT_USB;
        snprintf(whole.location, sizeof whole.location, "%s", reader->usb.location());
        whole.vendor_id = reader->usb.vendor_id();
        whole.product_id = reader->usb.product_id();
    }
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

} // namespace vessik
