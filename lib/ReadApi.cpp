// The extended read: the same poll engine as ReadIDCardLib, with a deadline,
// cancellation, a pause while no card is there, and a lossless card record
// for the three card types that share the readers.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "CardMain.h"
#include "answer_layout.h"
#include "card_text.h"
#include "diag.h"
#include "timing.h"
#include "vessik_read.h"

namespace {

using namespace vessik::diag;
using namespace vessik::timing;
using vessik::MonotonicUs;
using vessik::answer::kPhotoBytes;
using vessik::answer::kPhotoOffset;
using vessik::answer::kTextBytes;
using vessik::answer::kTextOffset;

// The extended read keeps its own reader object, so it never disturbs the
// callback or state of the documented one.
CardMain g_reader;
std::atomic<bool> g_busy{false};
std::atomic<int> g_cancel{0};
static_assert(std::atomic<int>::is_always_lock_free, "vessik_cancel must be signal-safe");

// What the last read took, to tell a card left on the reader from a new one.
unsigned char g_last_block[kTextBytes];
bool g_have_last = false;
bool g_absent_since_last = true;
uint64_t g_last_read_end_us = 0;

struct Session {
    uint64_t deadline_us = 0; // 0: none
    bool report_same_card = false;
    bool timed_out = false;
    bool cancelled = false;
};

bool ShouldStop(void *context)
{
    Session *session = static_cast<Session *>(context);
    if (g_cancel.load() != 0) {
        session->cancelled = true;
        return true;
    }
    if (session->deadline_us != 0 && MonotonicUs() >= session->deadline_us) {
        session->timed_out = true;
        return true;
    }
    return false;
}

void OnNoCard(void * /*context*/)
{
    g_absent_since_last = true;
}

// A card whose text is the last one read, with no find in between that
// missed it, is still lying on the reader: it is not reported again.
bool AcceptCard(void *context, const unsigned char *answer)
{
    const Session *session = static_cast<const Session *>(context);
    if (session->report_same_card || !g_have_last || g_absent_since_last)
        return true;
    return memcmp(answer + kTextOffset, g_last_block, kTextBytes) != 0;
}

void DecodeCard(const unsigned char *answer, vessik_card *card)
{
    memset(card, 0, sizeof(*card));
    memcpy(card->text_block, answer + kTextOffset, kTextBytes);
    memcpy(card->photo, answer + kPhotoOffset, kPhotoBytes);
    DecodeCardFields(card->text_block, card);
}

int ReadOnce(const vessik_read_options &options, vessik_card *card)
{
    // This reader object is ours alone: its callback is this read's.
    g_reader.read_info_cb = options.callback;
    if (g_reader.usb.ConnectUsb() == -1) {
        g_reader.Report(kMsgConnectErr);
        g_reader.usb.DisConnectUsb();
        return VESSIK_E_NO_READER;
    }
    g_reader.Report(kMsgConnectOk);

    Session session;
    session.report_same_card = options.report_same_card != 0;
    if (options.deadline_ms != 0)
        session.deadline_us = MonotonicUs() + static_cast<uint64_t>(options.deadline_ms) * 1000u;

    CardMain::PollPolicy policy;
    policy.answer_timeout_ms = kExtendedAnswerTimeoutMs;
    const unsigned interval_ms =
        options.poll_interval_ms != 0 ? options.poll_interval_ms : VESSIK_DEFAULT_POLL_INTERVAL_MS;
    policy.idle_pause_us = static_cast<uint64_t>(interval_ms) * 1000u;
    policy.wait_slice_us = kExtendedWaitSliceUs;
    policy.status_before_every_find = false;
    policy.should_stop = ShouldStop;
    policy.on_no_card = OnNoCard;
    policy.accept_card = AcceptCard;
    policy.context = &session;

    unsigned char answer[vessik::kReplyBufferBytes];
    const CardMain::PollOutcome outcome = g_reader.PollForCard(answer, policy);
    int result = VESSIK_OK;
    if (outcome == CardMain::POLL_CARD_READ) {
        g_reader.Report(kMsgReadOk);
        const uint64_t started = MonotonicUs();
        DecodeCard(answer, card);
        card->find_us = policy.find_us;
        card->select_us = policy.select_us;
        card->read_us = policy.read_us;
        card->decode_us = static_cast<unsigned>(MonotonicUs() - started);
        memcpy(g_last_block, card->text_block, kTextBytes);
        g_have_last = true;
        g_absent_since_last = false;
    } else if (outcome == CardMain::POLL_READER_LOST) {
        g_reader.Report(kMsgConnectErr);
        result = VESSIK_E_READER_LOST;
    } else {
        result = session.cancelled ? VESSIK_E_CANCELLED : VESSIK_E_TIMEOUT;
    }
    g_reader.usb.DisConnectUsb();
    return result;
}

} // namespace

extern "C" {

void vessik_read_options_init(vessik_read_options *options)
{
    if (options == nullptr)
        return;
    memset(options, 0, sizeof(*options));
    options->size = sizeof(*options);
    options->poll_interval_ms = VESSIK_DEFAULT_POLL_INTERVAL_MS;
}

int vessik_read(const vessik_read_options *options, vessik_card *card)
{
    vessik_read_options defaults;
    vessik_read_options_init(&defaults);
    if (options == nullptr)
        options = &defaults;
    if (card == nullptr || options->size != sizeof(vessik_read_options))
        return VESSIK_E_BAD_ARGUMENT;

    bool idle = false;
    if (!g_busy.compare_exchange_strong(idle, true))
        return VESSIK_E_BUSY;
    g_cancel.store(0);
    if (MonotonicUs() - g_last_read_end_us > kUnwatchedGapUs)
        g_absent_since_last = true;
    const int result = ReadOnce(*options, card);
    g_last_read_end_us = MonotonicUs();
    g_busy.store(false);
    return result;
}

void vessik_cancel(void)
{
    g_cancel.store(1);
}

const char *vessik_strerror(int code)
{
    switch (code) {
    case VESSIK_OK:
        return "card read";
    case VESSIK_E_TIMEOUT:
        return "no card before the deadline";
    case VESSIK_E_CANCELLED:
        return "read cancelled";
    case VESSIK_E_NO_READER:
        return "reader absent or cannot be opened";
    case VESSIK_E_READER_LOST:
        return "reader lost during the read";
    case VESSIK_E_BAD_ARGUMENT:
        return "bad argument";
    case VESSIK_E_BUSY:
        return "another read is in progress";
    default:
        return "unknown result";
    }
}

const char *vessik_card_type_name(int type)
{
    switch (type) {
    case VESSIK_CARD_RESIDENT:
        return "resident";
    case VESSIK_CARD_FOREIGN_PERMANENT:
        return "foreign-permanent";
    case VESSIK_CARD_HMT_PERMIT:
        return "hmt-permit";
    default:
        return "unknown";
    }
}

} // extern "C"
