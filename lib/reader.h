// SPDX-License-Identifier: LGPL-2.1-or-later
// The reader handle behind vessik_reader_*: one reader with its own link,
// poll state, cancel flag and memory of the last card. Internal.
#ifndef VESSIK_READER_H
#define VESSIK_READER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "answer_layout.h"
#include "link.h"
#include "vessik_read.h"

// A cancel that stays until reset: one lock-free flag, so that a signal
// handler may set it.
struct vessik_cancel_token {
    std::atomic<int> cancelled{0};
    static_assert(std::atomic<int>::is_always_lock_free, "a token must be signal-safe");
};

struct vessik_reader {
    // Held open from vessik_reader_open to vessik_reader_close; the default
    // reader of vessik_read opens and closes around each read instead.
    bool open_per_read = false;
    // The one link its location names (vessik::ReaderPlace).
    std::unique_ptr<vessik::ReaderLink> link;

    std::atomic<bool> busy{false};
    std::atomic<int> cancel{0};
    static_assert(std::atomic<int>::is_always_lock_free, "cancel must be signal-safe");

    // What the last read took, to tell a card left on the reader from a new
    // one: a keyed hash of its text block (vessik::KeyedHash), never the
    // text itself. Touched only by the read in progress.
    uint64_t last_block_hash = 0;
    bool have_last = false;
    bool absent_since_last = true;
    uint64_t last_read_end_us = 0; // the end of the last read or wait for its removal

    // The card last read lies there as far as the kit knows: it has not been
    // seen gone by vessik_reader_wait_removed.
    bool card_on_reader = false;
    // The select answer's payload for that card (valid when have_last_select).
    unsigned char last_select[vessik::answer::kSelectPayloadBytes] = {};
    bool have_last_select = false;
    // What the kit has learned of this module since it opened. A module
    // that finds a card it has read while the card lies there tells a lifted
    // card by a find that misses; one that does not cannot tell.
    bool module_refinds = false;
    // Whether the select answer names the card: learned from the cards read
    // (the same card the same answer, two cards two answers), never assumed.
    enum class SelectTells { Unknown, Yes, No };
    SelectTells select_tells = SelectTells::Unknown;
    uint64_t select_seen_hash = 0; // the last card read with a select answer, and that answer
    unsigned char select_seen[vessik::answer::kSelectPayloadBytes] = {};
    bool have_select_seen = false;
    // The module answered 30 10 as a command it does not know: later reads
    // go straight to 30 01.
    bool fingerprints_refused = false;
    // The module left 30 10 unanswered: later reads go straight to 30 01,
    // and say the fingerprints were not read.
    bool fingerprints_unanswered = false;

    // The module's identifier from its last 12 FF answer.
    std::mutex info_mu;
    unsigned char module_id[64] = {};
    int module_id_len = 0;
};

namespace vessik {

// Parses `where` and gives `reader` the link it names: VESSIK_OK,
// VESSIK_E_BAD_LOCATION, or VESSIK_E_NO_MEMORY. `kind`, when given, receives
// the location's kind.
int ReaderPlace(vessik_reader *reader, const char *where, LocationKind *kind = nullptr);
// Opens `reader` at its location and asks the module for its identifier.
int ReaderOpen(vessik_reader *reader);
// One read, as vessik_reader_read documents it (arguments already checked).
int ReaderRead(vessik_reader *reader, const vessik_read_options &options, vessik_card *card);
// Fills an info of at least the first published size.
void ReaderDescribe(vessik_reader *reader, vessik_reader_info *info);
// Moves a serial module to another rate (no read may run).
int ReaderSetRate(vessik_reader *reader, int rate);
// Closes the reader's link.
void ReaderClose(vessik_reader *reader);
// Copies `source`'s first `size` bytes over `dest`, keeping dest's size field.
void CopySized(void *dest, const void *source, size_t source_size);
// Waits for the card last read to leave, as vessik_reader_wait_removed
// documents it (arguments already checked).
int ReaderWaitRemoved(vessik_reader *reader, const vessik_read_options &options);
// Forgets what was learned of the module: a reader opened afresh may be
// another one.
void ForgetModule(vessik_reader *reader);
// Whether a read or wait with these options is to stop now: a cancel of the
// reader or of the token.
bool CancelRequested(const vessik_reader *reader, const vessik_read_options &options);
// Status messages to both callbacks the options may carry.
void ReportStatus(const vessik_read_options &options, const char *message);
// How every exchange outside the poll waits for its answer.
AnswerWait SlicedWait(bool (*should_stop)(void *), void *context);

} // namespace vessik

#endif
