// The extended read: the same poll engine as ReadIDCardLib, with a deadline,
// cancellation, a pause while no card is there, and a lossless card record
// for the three card types that share the readers.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "CardMain.h"
#include "CardText.inc"
#include "vessik_read.h"

namespace {

using vessik::kMsgConnectErr;
using vessik::kMsgConnectOk;
using vessik::kMsgReadOk;

// Short transfer timeouts and sliced waits keep a cancel under 200 ms: the
// longest step that cannot be interrupted is one answer of two stages.
constexpr int kAnswerTimeoutMs = 50;
constexpr unsigned kWaitSliceUs = 20000;

constexpr int kTextBlockOffset = 14;
constexpr int kTextBlockBytes = 256;
constexpr int kPhotoOffset = 270;
constexpr int kPhotoBytes = 1024;

// The type marker: one UCS-2 unit at bytes 248-249 of the text block.
constexpr int kTypeMarkerOffset = 248;
constexpr unsigned short kMarkerForeignPermanent = 'I';
constexpr unsigned short kMarkerHmtPermit = 'J';

constexpr int kIdNumberChars = 18;
constexpr int kIdWeights[kIdNumberChars - 1] = {7, 9, 10, 5,  8, 4, 2, 1, 6,
                                                3, 7, 9,  10, 5, 8, 4, 2};
constexpr char kIdCheckChars[] = "10X98765432";
constexpr int kIdCheckModulus = 11;

// The extended read keeps its own reader object, so it never disturbs the
// callback or state of the documented one.
CardMain g_reader;
std::atomic<bool> g_busy{false};
std::atomic<int> g_cancel{0};
static_assert(std::atomic<int>::is_always_lock_free, "vessik_cancel must be signal-safe");

// What the last read took, to tell a card left on the reader from a new one.
unsigned char g_last_block[kTextBlockBytes];
bool g_have_last = false;
bool g_absent_since_last = true;
uint64_t g_last_read_end_us = 0;

// While no read runs nobody watches the reader: a card may be lifted and laid
// down again unseen. Back-to-back reads (a watch loop) keep the memory; after a
// pause longer than this the card found first is taken as a new presentation,
// so an on-demand read (one per button press) never withholds a card.
constexpr uint64_t kUnwatchedGapUs = 1000000;

struct Session {
    uint64_t deadline_us = 0; // 0: none
    bool report_same_card = false;
    bool timed_out = false;
    bool cancelled = false;
};

uint64_t NowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

bool ShouldStop(void *context)
{
    Session *session = static_cast<Session *>(context);
    if (g_cancel.load() != 0) {
        session->cancelled = true;
        return true;
    }
    if (session->deadline_us != 0 && NowUs() >= session->deadline_us) {
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
    return memcmp(answer + kTextBlockOffset, g_last_block, kTextBlockBytes) != 0;
}

unsigned short UnitAt(const unsigned char *block, int offset)
{
    return static_cast<unsigned short>(block[offset] | (block[offset + 1] << 8));
}

// A whole field into UTF-8: every unit up to a NUL unit, then the padding
// spaces at the end dropped (spaces inside, as in an English name, stay).
void DecodeWhole(const unsigned char *block, int offset, int width, char *dest, size_t room)
{
    int units = 0;
    while (units < width / 2 && UnitAt(block, offset + 2 * units) != 0)
        ++units;
    while (units > 0 && UnitAt(block, offset + 2 * (units - 1)) == cardtext::kPadUnit)
        --units;
    size_t written = 0;
    for (int u = 0; u < units; ++u) {
        const unsigned short unit = UnitAt(block, offset + 2 * u);
        if (written + static_cast<size_t>(Utf8Length(unit)) >= room)
            break; // cannot happen with the sizes of vessik_card; never overrun
        written +=
            static_cast<size_t>(PutUtf8(unit, reinterpret_cast<unsigned char *>(dest) + written));
    }
    dest[written] = '\0';
}

// Where a field of the text block goes in vessik_card.
struct WholeField {
    int offset;
    int width;
    size_t member;
    size_t room;
};
#define VESSIK_CARD_FIELD(offset, width, field)                                                    \
    WholeField                                                                                     \
    {                                                                                              \
        offset, width, offsetof(vessik_card, field), sizeof(vessik_card::field)                    \
    }

constexpr WholeField kResidentFields[] = {
    VESSIK_CARD_FIELD(0, 30, name),        VESSIK_CARD_FIELD(30, 2, sex),
    VESSIK_CARD_FIELD(32, 4, nation_code), VESSIK_CARD_FIELD(36, 16, birth),
    VESSIK_CARD_FIELD(52, 70, address),    VESSIK_CARD_FIELD(122, 36, id_number),
    VESSIK_CARD_FIELD(158, 30, authority), VESSIK_CARD_FIELD(188, 16, valid_from),
    VESSIK_CARD_FIELD(204, 16, valid_to),
};
constexpr WholeField kForeignPermanentFields[] = {
    VESSIK_CARD_FIELD(0, 120, name_en),    VESSIK_CARD_FIELD(120, 2, sex),
    VESSIK_CARD_FIELD(122, 30, id_number), VESSIK_CARD_FIELD(152, 6, nation_code),
    VESSIK_CARD_FIELD(158, 30, name),      VESSIK_CARD_FIELD(188, 16, valid_from),
    VESSIK_CARD_FIELD(204, 16, valid_to),  VESSIK_CARD_FIELD(220, 16, birth),
    VESSIK_CARD_FIELD(236, 4, version),    VESSIK_CARD_FIELD(240, 8, authority),
};
// The permit keeps the resident layout, with the nationality bytes reserved.
constexpr WholeField kHmtPermitFields[] = {
    VESSIK_CARD_FIELD(0, 30, name),          VESSIK_CARD_FIELD(30, 2, sex),
    VESSIK_CARD_FIELD(36, 16, birth),        VESSIK_CARD_FIELD(52, 70, address),
    VESSIK_CARD_FIELD(122, 36, id_number),   VESSIK_CARD_FIELD(158, 30, authority),
    VESSIK_CARD_FIELD(188, 16, valid_from),  VESSIK_CARD_FIELD(204, 16, valid_to),
    VESSIK_CARD_FIELD(220, 18, pass_number), VESSIK_CARD_FIELD(238, 4, issue_count),
};
#undef VESSIK_CARD_FIELD

template <size_t N>
void DecodeFields(const unsigned char *block, const WholeField (&fields)[N], vessik_card *card)
{
    for (const WholeField &f : fields) {
        DecodeWhole(block, f.offset, f.width, reinterpret_cast<char *>(card) + f.member, f.room);
    }
}

int IdCheck(const char *id)
{
    if (strlen(id) != static_cast<size_t>(kIdNumberChars))
        return VESSIK_ID_CHECK_WRONG;
    int sum = 0;
    for (int i = 0; i < kIdNumberChars - 1; ++i) {
        if (id[i] < '0' || id[i] > '9')
            return VESSIK_ID_CHECK_WRONG;
        sum += (id[i] - '0') * kIdWeights[i];
    }
    const char last = id[kIdNumberChars - 1] == 'x' ? 'X' : id[kIdNumberChars - 1];
    return last == kIdCheckChars[sum % kIdCheckModulus] ? VESSIK_ID_CHECK_OK
                                                        : VESSIK_ID_CHECK_WRONG;
}

void NameTheNation(vessik_card *card)
{
    const char *code = card->nation_code;
    if (strlen(code) != 2 || code[0] < '0' || code[0] > '9' || code[1] < '0' || code[1] > '9')
        return;
    unsigned char name[sizeof(card->nation_name)] = {};
    const int len = GetNational((code[0] - '0') * 10 + (code[1] - '0'), name);
    if (len > 0)
        memcpy(card->nation_name, name, static_cast<size_t>(len));
}

void DecodeCard(const unsigned char *answer, vessik_card *card)
{
    memset(card, 0, sizeof(*card));
    const unsigned char *block = answer + kTextBlockOffset;
    memcpy(card->text_block, block, kTextBlockBytes);
    memcpy(card->photo, answer + kPhotoOffset, kPhotoBytes);

    switch (UnitAt(block, kTypeMarkerOffset)) {
    case kMarkerForeignPermanent:
        card->type = VESSIK_CARD_FOREIGN_PERMANENT;
        DecodeFields(block, kForeignPermanentFields, card);
        card->id_check = VESSIK_ID_CHECK_NOT_APPLICABLE;
        break;
    case kMarkerHmtPermit:
        card->type = VESSIK_CARD_HMT_PERMIT;
        DecodeFields(block, kHmtPermitFields, card);
        card->id_check = IdCheck(card->id_number);
        break;
    default:
        card->type = VESSIK_CARD_RESIDENT;
        DecodeFields(block, kResidentFields, card);
        NameTheNation(card);
        card->id_check = IdCheck(card->id_number);
        break;
    }
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
        session.deadline_us = NowUs() + static_cast<uint64_t>(options.deadline_ms) * 1000u;

    CardMain::PollPolicy policy;
    policy.answer_timeout_ms = kAnswerTimeoutMs;
    const unsigned interval_ms =
        options.poll_interval_ms != 0 ? options.poll_interval_ms : VESSIK_DEFAULT_POLL_INTERVAL_MS;
    policy.idle_pause_us = static_cast<uint64_t>(interval_ms) * 1000u;
    policy.wait_slice_us = kWaitSliceUs;
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
        const uint64_t started = NowUs();
        DecodeCard(answer, card);
        card->find_us = policy.find_us;
        card->select_us = policy.select_us;
        card->read_us = policy.read_us;
        card->decode_us = static_cast<unsigned>(NowUs() - started);
        memcpy(g_last_block, card->text_block, kTextBlockBytes);
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
    if (NowUs() - g_last_read_end_us > kUnwatchedGapUs)
        g_absent_since_last = true;
    const int result = ReadOnce(*options, card);
    g_last_read_end_us = NowUs();
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
