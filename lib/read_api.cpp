// SPDX-License-Identifier: LGPL-2.1-or-later
// The extended interface's C functions: reader handles, the default reader
// behind vessik_read, the log handler, and the texts for codes and types.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "diag.h"
#include "reader.h"
#include "reader_location.h"
#include "timing.h"
#include "usb_reader.h"
#include "vessik_read.h"

namespace {

using vessik::MonotonicUs;

// How often vessik_reader_close looks whether a cancelled read has ended.
constexpr auto kCloseWaitStep = std::chrono::milliseconds(5);

// The reader behind vessik_read and vessik_cancel: the first USB reader,
// opened and closed around each read. Its memory of the last card lives on
// between reads.
struct DefaultReader : vessik_reader {
    DefaultReader()
    {
        open_per_read = true;
        vessik::ReaderPlace(this, kDefaultLocation);
    }
    static constexpr char kDefaultLocation[] = "usb";
};
DefaultReader g_default_reader;

bool OptionsUsable(const vessik_read_options *options)
{
    return options == nullptr || options->size >= VESSIK_READ_OPTIONS_SIZE_V1;
}

bool CardUsable(const vessik_card *card)
{
    return card != nullptr && card->size >= VESSIK_CARD_SIZE_V2;
}

// The caller's options over the defaults, as far as the caller's size goes.
vessik_read_options OptionsFrom(const vessik_read_options *options)
{
    vessik_read_options merged;
    vessik_read_options_init(&merged);
    if (options != nullptr)
        memcpy(&merged, options, std::min<size_t>(options->size, sizeof merged));
    merged.size = sizeof merged;
    return merged;
}

// The options' size from which they carry a cancel token.
constexpr size_t kOptionsSizeWithToken =
    offsetof(vessik_read_options, cancel_token) + sizeof(vessik_cancel_token *);

// A token cancelled before the read or wait began ends it before it
// touches the reader.
bool TokenCancelled(const vessik_read_options *options)
{
    return options != nullptr && options->size >= kOptionsSizeWithToken &&
           vessik_cancel_token_is_cancelled(options->cancel_token) != 0;
}

// The checks a read and a wait share; on VESSIK_OK the reader is taken
// (busy) and its cancel cleared: a cancel of the reader counts for the read
// in progress only, a token's stays until it is reset.
int TakeReader(vessik_reader *reader, const vessik_read_options *options)
{
    if (reader == nullptr || !OptionsUsable(options))
        return VESSIK_E_BAD_ARGUMENT;
    if (TokenCancelled(options))
        return VESSIK_E_CANCELLED;
    bool idle = false;
    if (!reader->busy.compare_exchange_strong(idle, true))
        return VESSIK_E_BUSY;
    reader->cancel.store(0);
    return VESSIK_OK;
}

// One read on a reader, with the checks every entry point shares. Nothing
// the library says during it reaches standard output or standard error.
int Read(vessik_reader *reader, const vessik_read_options *options, vessik_card *card)
{
    if (!CardUsable(card))
        return VESSIK_E_BAD_ARGUMENT;
    const int taken = TakeReader(reader, options);
    if (taken != VESSIK_OK)
        return taken;
    vessik::diag::ExtendedScope quiet;
    // While no read runs nobody watches the reader: after a pause the card
    // found first is taken as a new presentation.
    if (MonotonicUs() - reader->last_read_end_us > vessik::timing::kUnwatchedGapUs)
        reader->absent_since_last = true;
    const int result = vessik::ReaderRead(reader, OptionsFrom(options), card);
    if (reader->open_per_read)
        vessik::ReaderClose(reader);
    reader->last_read_end_us = MonotonicUs();
    reader->busy.store(false);
    return result;
}

// Infos handed out by vessik_reader_list: each reader counts, those that fit
// are filled.
struct ReaderList {
    vessik_reader_info *infos;
    int capacity;
    int count;

    void Add(const vessik_reader_info &whole)
    {
        if (count < capacity) {
            vessik_reader_info *slot = &infos[count];
            vessik_reader_info_init(slot);
            vessik::CopySized(slot, &whole, sizeof whole);
        }
        ++count;
    }
};

// Serial ports are never probed blindly: an unknown device on a port must
// not receive our frames. Only the ports named in VESSIK_SERIAL_READERS
// ("/dev/ttyUSB0:/dev/ttyS1@57600") are listed, and with
// VESSIK_SERIAL_PROBE=1 each is asked for the module's identifier.
constexpr char kSerialReadersVariable[] = "VESSIK_SERIAL_READERS";
constexpr char kSerialProbeVariable[] = "VESSIK_SERIAL_PROBE";
constexpr char kSerialListSeparator = ':';

void ListSerialReader(const std::string &entry, bool probe, ReaderList *list)
{
    const std::string where = vessik::kSerialLocationPrefix + entry;
    vessik_reader reader;
    vessik::LocationKind kind = vessik::LocationKind::UsbFirst;
    if (vessik::ReaderPlace(&reader, where.c_str(), &kind) != VESSIK_OK ||
        kind != vessik::LocationKind::Serial) {
        vessik::diag::LogFormat(vessik::diag::kLogWarning, "%s: not a serial port: %s",
                                kSerialReadersVariable, entry.c_str());
        return;
    }
    if (probe && vessik::ReaderOpen(&reader) != VESSIK_OK)
        vessik::diag::LogFormat(vessik::diag::kLogInfo, "no module answers at %s", where.c_str());
    vessik_reader_info whole;
    vessik_reader_info_init(&whole);
    vessik::ReaderDescribe(&reader, &whole);
    list->Add(whole);
}

void ListSerialReaders(ReaderList *list)
{
    const char *named = getenv(kSerialReadersVariable);
    if (named == nullptr)
        return;
    const char *probe = getenv(kSerialProbeVariable);
    const bool probing = probe != nullptr && strcmp(probe, "1") == 0;
    std::string entries = named;
    size_t start = 0;
    while (start <= entries.size()) {
        size_t end = entries.find(kSerialListSeparator, start);
        if (end == std::string::npos)
            end = entries.size();
        if (end > start)
            ListSerialReader(entries.substr(start, end - start), probing, list);
        start = end + 1;
    }
}

} // namespace

extern "C" {

int vessik_read_api_version(void)
{
    return VESSIK_READ_API_VERSION;
}

void vessik_read_options_init(vessik_read_options *options)
{
    if (options == nullptr)
        return;
    memset(options, 0, sizeof(*options));
    options->size = sizeof(*options);
    options->poll_interval_ms = VESSIK_DEFAULT_POLL_INTERVAL_MS;
}

void vessik_card_init(vessik_card *card)
{
    if (card == nullptr)
        return;
    memset(card, 0, sizeof(*card));
    card->size = sizeof(*card);
}

void vessik_reader_info_init(vessik_reader_info *info)
{
    if (info == nullptr)
        return;
    memset(info, 0, sizeof(*info));
    info->size = sizeof(*info);
}

int vessik_reader_list(vessik_reader_info *infos, int capacity)
{
    if (capacity < 0 || (capacity > 0 && infos == nullptr))
        return VESSIK_E_BAD_ARGUMENT;
    ReaderList list = {infos, capacity, 0};
    vessik::diag::ExtendedScope quiet;
    const int usb = vessik::ListUsbReaders(
        [](const vessik::UsbReaderFound &found, void *context) {
            vessik_reader_info whole;
            vessik_reader_info_init(&whole);
            whole.transport = VESSIK_TRANSPORT_USB;
            memcpy(whole.location, found.location, sizeof whole.location);
            whole.vendor_id = found.vendor_id;
            whole.product_id = found.product_id;
            static_cast<ReaderList *>(context)->Add(whole);
        },
        &list);
    if (usb < 0)
        return usb;
    ListSerialReaders(&list);
    return list.count;
}

int vessik_reader_open(const char *where, vessik_reader **reader)
{
    if (reader == nullptr)
        return VESSIK_E_BAD_ARGUMENT;
    *reader = nullptr;
    std::unique_ptr<vessik_reader> opened(new (std::nothrow) vessik_reader);
    if (opened == nullptr)
        return VESSIK_E_NO_MEMORY;
    const int placed = vessik::ReaderPlace(opened.get(), where);
    if (placed != VESSIK_OK)
        return placed;
    vessik::diag::ExtendedScope quiet;
    const int result = vessik::ReaderOpen(opened.get());
    if (result != VESSIK_OK)
        return result;
    *reader = opened.release();
    return VESSIK_OK;
}

int vessik_reader_read(vessik_reader *reader, const vessik_read_options *options, vessik_card *card)
{
    return Read(reader, options, card);
}

int vessik_reader_wait_removed(vessik_reader *reader, const vessik_read_options *options)
{
    const int taken = TakeReader(reader, options);
    if (taken != VESSIK_OK)
        return taken;
    vessik::diag::ExtendedScope quiet;
    const int result = vessik::ReaderWaitRemoved(reader, OptionsFrom(options));
    // The reader was watched until now: a card found next is judged as by a
    // read that has just ended.
    reader->last_read_end_us = MonotonicUs();
    reader->busy.store(false);
    return result;
}

void vessik_reader_cancel(vessik_reader *reader)
{
    if (reader != nullptr)
        reader->cancel.store(1);
}

void vessik_reader_close(vessik_reader *reader)
{
    if (reader == nullptr)
        return;
    // A read still running is cancelled and waited for, never cut off.
    while (reader->busy.load()) {
        reader->cancel.store(1);
        std::this_thread::sleep_for(kCloseWaitStep);
    }
    vessik::diag::ExtendedScope quiet;
    delete reader;
}

int vessik_reader_set_rate(vessik_reader *reader, int rate)
{
    if (reader == nullptr)
        return VESSIK_E_BAD_ARGUMENT;
    bool idle = false;
    if (!reader->busy.compare_exchange_strong(idle, true))
        return VESSIK_E_BUSY;
    vessik::diag::ExtendedScope quiet;
    const int result = vessik::ReaderSetRate(reader, rate);
    reader->busy.store(false);
    return result;
}

int vessik_reader_get_info(vessik_reader *reader, vessik_reader_info *info)
{
    if (reader == nullptr || info == nullptr || info->size < VESSIK_READER_INFO_SIZE_V2)
        return VESSIK_E_BAD_ARGUMENT;
    vessik::ReaderDescribe(reader, info);
    return VESSIK_OK;
}

int vessik_read(const vessik_read_options *options, vessik_card *card)
{
    return Read(&g_default_reader, options, card);
}

void vessik_cancel(void)
{
    g_default_reader.cancel.store(1);
}

vessik_cancel_token *vessik_cancel_token_new(void)
{
    return new (std::nothrow) vessik_cancel_token;
}

void vessik_cancel_token_cancel(vessik_cancel_token *token)
{
    if (token != nullptr)
        token->cancelled.store(1);
}

void vessik_cancel_token_reset(vessik_cancel_token *token)
{
    if (token != nullptr)
        token->cancelled.store(0);
}

int vessik_cancel_token_is_cancelled(const vessik_cancel_token *token)
{
    return token != nullptr && token->cancelled.load() != 0 ? 1 : 0;
}

void vessik_cancel_token_free(vessik_cancel_token *token)
{
    delete token;
}

void vessik_set_log_handler(int level, vessik_log_handler fn, void *context)
{
    vessik::diag::SetLogHandler(level, fn, context);
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
    case VESSIK_E_NOT_SUPPORTED:
        return "this kind of reader is not supported";
    case VESSIK_E_BAD_LOCATION:
        return "bad reader location";
    case VESSIK_E_READER_IN_USE:
        return "another program holds the reader";
    case VESSIK_E_ACCESS:
        return "no permission to open the reader";
    case VESSIK_E_NO_MEMORY:
        return "out of memory";
    case VESSIK_E_DECODER_FAILED:
        return "the photo decoder wrote no image";
    case VESSIK_E_BAD_IMAGE:
        return "the photo decoder's file is not a plausible 24-bit BMP of this user";
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
