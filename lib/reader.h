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
    uint64_t last_read_end_us = 0;
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

} // namespace vessik

#endif
