// SPDX-License-Identifier: LGPL-2.1-or-later
// Waiting for the card last read to leave the reader: finds and selects,
// and a read of the card only where nothing cheaper tells it from another.
//
// A module that finds a card it has read while the card still lies there
// says by a find that misses that the card has gone. One that does not find
// it again until it has left and come back misses either way, so it cannot
// tell. The kit takes a module for the first kind only once it has found
// the card read on it again and made sure it was the same card.
//
// A card found is the card read when the select answer names cards (the
// reader has learned that from the cards it read) and the answer is the
// one it gave for that card; otherwise the card is read again now and then,
// and its text compared (by a keyed hash) with what the last read took.
#include <algorithm>
#include <cstring>
#include <unistd.h>

#include "diag.h"
#include "frame.h"
#include "keyed_hash.h"
#include "poll_engine.h"
#include "reader.h"
#include "timing.h"
#include "wipe.h"

namespace vessik {
namespace {

// Without a select answer that names the card, the card lying there is
// read again this often to make sure no other card took its place between
// two finds.
constexpr uint64_t kConfirmEveryUs = 2000000;

enum class Look { NoCard, SameCard, OtherCard, Unclear, Lost, Stopped };

struct Watch {
    vessik_reader *reader;
    const vessik_read_options *options;
    uint64_t deadline_us; // 0: none
    bool cancelled = false;
    // When the card was last known to be the one read; 0: it must be made
    // sure of before a find that sees a card says anything.
    uint64_t sure_us = 0;
};

bool WatchShouldStop(void *context)
{
    Watch *watch = static_cast<Watch *>(context);
    if (CancelRequested(watch->reader, *watch->options)) {
        watch->cancelled = true;
        return true;
    }
    return watch->deadline_us != 0 && MonotonicUs() >= watch->deadline_us;
}

bool IsAnswer(const unsigned char *answer, int count, int bytes, unsigned char status)
{
    return count == bytes && AnswerFits(answer, count, -1) &&
           answer[answer::kPosModuleStatus] == status;
}

// One command and its answer; kReceiveLost or kReceiveStopped, or the byte
// count (kReceiveNothing when nothing usable came).
int Exchange(Watch &watch, const frame::Command &command, unsigned char *answer, int capacity)
{
    memset(answer, 0, static_cast<size_t>(capacity));
    const SendResult sent = watch.reader->link->Send(command.bytes, frame::kCommandFrameBytes);
    if (sent == SendResult::Lost)
        return kReceiveLost;
    if (sent != SendResult::Sent)
        return kReceiveNothing;
    return watch.reader->link->Receive(answer, capacity, SlicedWait(WatchShouldStop, &watch));
}

Look Ended(int received)
{
    return received == kReceiveLost ? Look::Lost : Look::Stopped;
}

bool Ended(int received, Look *look)
{
    if (received != kReceiveLost && received != kReceiveStopped)
        return false;
    *look = Ended(received);
    return true;
}

// Reads the card and compares its text with the card read last.
Look ReadAndCompare(Watch &watch)
{
    unsigned char answer[answer::kLargestAnswerBytes];
    const int count = Exchange(watch, frame::kReadCommand, answer, sizeof answer);
    Look look = Look::Unclear;
    if (!Ended(count, &look) &&
        IsAnswer(answer, count, answer::kReadAnswerBytes, answer::kStatusSuccess)) {
        const bool same = KeyedHash(answer + answer::kTextOffset, answer::kTextBytes) ==
                          watch.reader->last_block_hash;
        look = same ? Look::SameCard : Look::OtherCard;
        if (same)
            watch.sure_us = MonotonicUs();
    }
    WipeSecret(answer, sizeof answer);
    return look;
}

// The card was made sure of lately enough to be taken for the one read.
bool Sure(const Watch &watch)
{
    return watch.sure_us != 0 && MonotonicUs() - watch.sure_us < kConfirmEveryUs;
}

// The card the module selected, judged by the select answer where it names
// cards, else by its text when the last certainty is too old.
Look JudgeSelected(Watch &watch, const unsigned char *payload)
{
    const vessik_reader *reader = watch.reader;
    if (reader->select_tells == vessik_reader::SelectTells::Yes && reader->have_last_select) {
        if (memcmp(payload, reader->last_select, answer::kSelectPayloadBytes) != 0)
            return Look::OtherCard;
        watch.sure_us = MonotonicUs();
        return Look::SameCard;
    }
    if (Sure(watch))
        return Look::SameCard;
    return ReadAndCompare(watch);
}

// One look at the reader: a find, and for a card found a select.
Look LookOnce(Watch &watch)
{
    unsigned char answer[answer::kLargestAnswerBytes];
    int count = Exchange(watch, frame::kFindCommand, answer, sizeof answer);
    Look look = Look::Unclear;
    if (Ended(count, &look))
        return look;
    if (IsAnswer(answer, count, answer::kStatusAnswerBytes, answer::kStatusNoCard))
        return Look::NoCard;
    if (!IsAnswer(answer, count, answer::kFindAnswerBytes, answer::kStatusCardFound))
        return Look::Unclear;
    // A select that cannot name the card adds nothing while the card was
    // made sure of lately: the find alone says it is still there.
    if (watch.reader->select_tells != vessik_reader::SelectTells::Yes && Sure(watch))
        return Look::SameCard;
    count = Exchange(watch, frame::kSelectCommand, answer, sizeof answer);
    if (Ended(count, &look))
        return look;
    if (!IsAnswer(answer, count, answer::kSelectAnswerBytes, answer::kStatusSuccess))
        return Look::Unclear;
    return JudgeSelected(watch, answer + answer::kPayloadOffset);
}

// Sleeps one poll interval in slices; false when a stop ended it.
bool Pause(Watch &watch, uint64_t pause_us)
{
    while (pause_us > 0) {
        if (WatchShouldStop(&watch))
            return false;
        const uint64_t slice = std::min<uint64_t>(pause_us, timing::kExtendedWaitSliceUs);
        const uint64_t before = MonotonicUs();
        usleep(static_cast<useconds_t>(slice));
        const uint64_t spent = std::max<uint64_t>(MonotonicUs() - before, slice);
        pause_us = spent < pause_us ? pause_us - spent : 0;
    }
    return !WatchShouldStop(&watch);
}

void CardGone(vessik_reader *reader)
{
    reader->card_on_reader = false;
    reader->absent_since_last = true;
}

int Watched(Watch &watch)
{
    vessik_reader *reader = watch.reader;
    const unsigned interval_ms = watch.options->poll_interval_ms != 0
                                     ? watch.options->poll_interval_ms
                                     : VESSIK_DEFAULT_POLL_INTERVAL_MS;
    const uint64_t pause_us = static_cast<uint64_t>(interval_ms) * 1000u;
    for (;;) {
        if (WatchShouldStop(&watch))
            break;
        switch (LookOnce(watch)) {
        case Look::NoCard:
            if (!reader->module_refinds) {
                diag::LogFormat(diag::kLogInfo,
                                "the module at %s does not find a card it has read: it cannot "
                                "tell when the card is lifted",
                                reader->link->location());
                return VESSIK_E_NOT_SUPPORTED;
            }
            CardGone(reader);
            return VESSIK_OK;
        case Look::OtherCard:
            CardGone(reader);
            return VESSIK_OK;
        case Look::SameCard:
            reader->module_refinds = true;
            break;
        case Look::Unclear:
            // Something went amiss between two looks: the next card found is
            // made sure of again.
            watch.sure_us = 0;
            break;
        case Look::Lost:
            diag::LogFormat(diag::kLogWarning, "the reader at %s is gone",
                            reader->link->location());
            ReaderClose(reader);
            return VESSIK_E_READER_LOST;
        case Look::Stopped:
            break;
        }
        if (!Pause(watch, pause_us))
            break;
    }
    return watch.cancelled ? VESSIK_E_CANCELLED : VESSIK_E_TIMEOUT;
}

} // namespace

int ReaderWaitRemoved(vessik_reader *reader, const vessik_read_options &options)
{
    if (!reader->card_on_reader)
        return VESSIK_OK;
    if (!reader->link->IsOpen())
        return VESSIK_E_READER_LOST;
    Watch watch{reader, &options, 0};
    if (options.deadline_ms != 0)
        watch.deadline_us = MonotonicUs() + static_cast<uint64_t>(options.deadline_ms) * 1000u;
    // Watched without a break since the card was read, a refinding module's
    // card is the one read until a find misses it.
    if (reader->module_refinds &&
        MonotonicUs() - reader->last_read_end_us <= timing::kUnwatchedGapUs)
        watch.sure_us = reader->last_read_end_us;
    return Watched(watch);
}

} // namespace vessik
