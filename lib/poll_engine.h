// SPDX-License-Identifier: LGPL-2.1-or-later
// The card poll: status, find, select and read, repeated until a complete read
// answer has arrived, the reader is gone or the caller stops it. One engine
// for every read, over any link that can send a frame and receive an answer:
// the documented read's USB link and the reader handles' links.
// Internal: not installed.
#ifndef VESSIK_POLL_ENGINE_H
#define VESSIK_POLL_ENGINE_H

#include <cstdint>
#include <cstring>
#include <unistd.h>

#include "answer_layout.h"
#include "frame.h"
#include "link.h"
#include "timing.h"

namespace vessik {

// A complete card answer, taken apart.
struct CardAnswer {
    const unsigned char *answer = nullptr; // the whole answer, `count` bytes
    int count = 0;
    const unsigned char *text = nullptr;  // answer::kTextBytes
    const unsigned char *photo = nullptr; // answer::kPhotoBytes
    bool with_fingerprints = false;       // the answer to 30 10
    const unsigned char *fingerprints = nullptr;
    int fingerprint_bytes = 0; // 0, 512 or 1024
};

// The four commands a poll sends, each a whole frame of
// frame::kCommandFrameBytes.
struct PollCommands {
    const unsigned char *status;
    const unsigned char *find;
    const unsigned char *select;
    const unsigned char *read;
};

// How one poll behaves. The documented read polls flat out with its fixed
// waits; the extended read adds a deadline, cancellation, a pause while no
// card is there, and a say in which card it takes.
struct PollSettings {
    // The kit's own frames; the documented read hands in the exported SAM_*
    // frames, which clients may patch.
    PollCommands commands = {frame::kModuleIdCommand.bytes, frame::kFindCommand.bytes,
                             frame::kSelectCommand.bytes, frame::kReadCommand.bytes};
    AnswerWait wait;
    uint64_t idle_pause_us = 0; // after a find that saw no card
    unsigned wait_slice_us = 0; // waits are cut into slices this long (0: whole)
    // The documented loop asks the module's status before every find; a
    // waiting poll needs it once per read, which halves its idle USB work.
    bool status_before_every_find = true;
    // An answer must be a whole frame whose length fits its command, so that
    // an answer to an earlier command is never taken for this one's.
    bool strict_answers = false;
    // Asked between steps and between wait slices; true ends the poll.
    bool (*should_stop)(void *context) = nullptr;
    // A find that saw no card.
    void (*on_no_card)(void *context) = nullptr;
    // A complete read answer; false sends the poll back to the status query.
    bool (*accept_card)(void *context, const CardAnswer &card) = nullptr;
    // The answer to the status query (12 FF), `count` bytes.
    void (*on_module_answer)(void *context, const unsigned char *answer, int count) = nullptr;
    void *context = nullptr;
    // Read with fingerprints (30 10) rather than without (30 01). A module
    // that refuses 30 10, or leaves it unanswered, is read with 30 01 in the
    // same cycle, and the flag that says which stays set for the rest of the read.
    bool want_fingerprints = false;
    bool fingerprints_refused = false;
    bool fingerprints_unanswered = false;
    // Wait for the answers to the read commands (30 01, 30 10, 30 03)
    // themselves, within read_wait, instead of sleeping the fixed wait after
    // the command first: the read takes the module's own time.
    bool answer_driven = false;
    AnswerWait read_wait;
    // After a card is accepted, ask for its newest appended address (30 03)
    // into appended_answer; appended_count tells what came back (0: nothing).
    bool want_appended_address = false;
    unsigned char *appended_answer = nullptr;
    int appended_capacity = 0;
    int appended_count = 0;
    // Filled in: how long the exchanges that found, selected and read the
    // card took, in microseconds.
    unsigned find_us = 0;
    unsigned select_us = 0;
    unsigned read_us = 0;
    // Filled in: the payload of the select answer before the card read, when
    // it came whole (select_payload_seen).
    unsigned char select_payload[answer::kSelectPayloadBytes] = {};
    bool select_payload_seen = false;
};

enum class PollOutcome { CardRead, ReaderLost, Stopped };

// The answer's length field: the bytes that follow it.
inline int AnswerLengthField(const unsigned char *answer)
{
    return answer[frame::kPosLengthHigh] << 8 | answer[frame::kPosLengthLow];
}

// The module's answer says it does not know the command.
inline bool CommandRefused(const unsigned char *answer, int count)
{
    return count > answer::kPosModuleStatus &&
           (answer[answer::kPosModuleStatus] == answer::kStatusUnknownCommand ||
            answer[answer::kPosModuleStatus] == answer::kStatusCommandNotRecognised);
}

// Whether `count` bytes hold a whole frame with the preamble, of a length this
// command answers with: status only, or status and its payload.
inline bool AnswerFits(const unsigned char *answer, int count, int payload_length)
{
    constexpr int kStatusOnlyLength = 4; // three status bytes and the check byte
    if (count < frame::kHeaderBytes || !frame::StartsWithPreamble(answer, count))
        return false;
    const int length = AnswerLengthField(answer);
    if (count != frame::kHeaderBytes + length)
        return false;
    return payload_length < 0 || length == kStatusOnlyLength ||
           length == kStatusOnlyLength + payload_length;
}

template <class Link> class CardPoll {
  public:
    CardPoll(Link &link, PollSettings &settings) : link_(link), s_(settings) {}

    // Polls until a complete read answer is in `answer` (`capacity` bytes).
    PollOutcome Run(unsigned char *answer, int capacity)
    {
        bool status_asked = false;
        for (;;) {
            if (StopRequested())
                return PollOutcome::Stopped;

            Step r = Step::Done;
            int count = 0;
            if (s_.status_before_every_find || !status_asked) {
                r = Exchange(s_.commands.status, timing::kWaitAroundCommandUs,
                             timing::kWaitAroundCommandUs, answer, capacity, &count);
                if (r != Step::Done)
                    return Ended(r);
                status_asked = true;
                if (s_.on_module_answer != nullptr && count > 0)
                    s_.on_module_answer(s_.context, answer, count);
            }

            uint64_t started = MonotonicUs();
            r = Exchange(s_.commands.find, timing::kWaitAroundCommandUs,
                         timing::kWaitAroundCommandUs, answer, capacity, &count);
            if (r != Step::Done)
                return Ended(r);
            if (!FindAccepted(answer, count)) {
                if (s_.on_no_card != nullptr)
                    s_.on_no_card(s_.context);
                if (s_.idle_pause_us > 0 && !Wait(s_.idle_pause_us))
                    return PollOutcome::Stopped;
                continue;
            }
            s_.find_us = ElapsedUs(started);

            started = MonotonicUs();
            r = Exchange(s_.commands.select, timing::kWaitAroundCommandUs,
                         timing::kWaitAroundCommandUs, answer, capacity, &count);
            if (r != Step::Done)
                return Ended(r);
            if (!SelectAccepted(answer, count))
                continue;
            s_.select_us = ElapsedUs(started);
            KeepSelectPayload(answer, count);

            started = MonotonicUs();
            CardAnswer card;
            r = ReadCard(answer, capacity, &card);
            if (r != Step::Done)
                return Ended(r);
            if (card.text == nullptr)
                continue;
            s_.read_us = ElapsedUs(started);

            if (s_.accept_card != nullptr && !s_.accept_card(s_.context, card)) {
                if (s_.idle_pause_us > 0 && !Wait(s_.idle_pause_us))
                    return PollOutcome::Stopped;
                continue;
            }
            if (s_.want_appended_address && s_.appended_answer != nullptr) {
                r = Exchange(frame::kReadAppendedAddressCommand.bytes, timing::kWaitAroundCommandUs,
                             s_.answer_driven ? 0 : timing::kWaitAroundCommandUs,
                             s_.appended_answer, s_.appended_capacity, &s_.appended_count,
                             s_.answer_driven ? s_.read_wait : s_.wait);
                if (r != Step::Done)
                    return Ended(r);
            }
            return PollOutcome::CardRead;
        }
    }

  private:
    enum class Step { Done, Lost, Stopped };

    static constexpr int kTextLength = answer::kTextBytes;
    static constexpr int kPhotoLength = answer::kPhotoBytes;

    // Payload bytes after the three status bytes of each answer.
    static constexpr int kFindPayload = answer::kFindPayloadBytes;
    static constexpr int kSelectPayload = answer::kSelectPayloadBytes;

    bool StopRequested() const { return s_.should_stop != nullptr && s_.should_stop(s_.context); }

    static unsigned ElapsedUs(uint64_t since)
    {
        return static_cast<unsigned>(MonotonicUs() - since);
    }

    PollOutcome Ended(Step step) const
    {
        return step == Step::Lost ? PollOutcome::ReaderLost : PollOutcome::Stopped;
    }

    // Sleeps `us`, in slices when the settings ask for them so that a stop
    // request is seen quickly. False when a stop ended the wait.
    bool Wait(uint64_t us)
    {
        if (s_.wait_slice_us == 0) {
            usleep(static_cast<useconds_t>(us)); // the documented waits are all short
            return true;
        }
        while (us > 0) {
            if (StopRequested())
                return false;
            const unsigned slice =
                us < s_.wait_slice_us ? static_cast<unsigned>(us) : s_.wait_slice_us;
            // Each usleep may oversleep a little; counting what it really took
            // keeps a long wait from growing by that much per slice.
            const uint64_t before = MonotonicUs();
            usleep(slice);
            const uint64_t took = MonotonicUs() - before;
            const uint64_t spent = took > slice ? took : slice;
            us = spent < us ? us - spent : 0;
        }
        return !StopRequested();
    }

    // One command: clear,
    // wait, send, wait, receive. A send or receive that
    // finds the reader gone ends the poll; any other failure shows only as an
    // answer that fails its check.
    Step Exchange(const unsigned char *frame, unsigned wait_before_us, unsigned wait_after_us,
                  unsigned char *answer, int capacity, int *count)
    {
        return Exchange(frame, wait_before_us, wait_after_us, answer, capacity, count, s_.wait);
    }

    Step Exchange(const unsigned char *frame, unsigned wait_before_us, unsigned wait_after_us,
                  unsigned char *answer, int capacity, int *count, const AnswerWait &answer_wait)
    {
        memset(answer, 0, static_cast<size_t>(capacity));
        *count = 0;
        if (!Wait(wait_before_us))
            return Step::Stopped;
        if (link_.Send(frame, frame::kCommandFrameBytes) == SendResult::Lost)
            return Step::Lost;
        if (!Wait(wait_after_us))
            return Step::Stopped;
        const int received = link_.Receive(answer, capacity, answer_wait);
        if (received == kReceiveLost)
            return Step::Lost;
        if (received == kReceiveStopped)
            return Step::Stopped;
        *count = received;
        return Step::Done;
    }

    // The documented read takes either mark; a strict poll takes an answer
    // by its own shape alone: a found card is 9F with its four bytes, never
    // a status-only answer or one of another length whose byte 14 happens
    // to read 0x97.
    bool FindAccepted(const unsigned char *answer, int count) const
    {
        if (s_.strict_answers)
            return AnswerFits(answer, count, kFindPayload) && count == answer::kFindAnswerBytes &&
                   answer[answer::kPosModuleStatus] == answer::kStatusCardFound;
        return answer[answer::kPosModuleStatus] == answer::kStatusCardFound ||
               answer[answer::kPosFindCheck] == answer::kCheckOfGoodAnswer;
    }

    // A strict poll takes 90, with its eight bytes or without them.
    bool SelectAccepted(const unsigned char *answer, int count) const
    {
        if (s_.strict_answers)
            return AnswerFits(answer, count, kSelectPayload) &&
                   answer[answer::kPosModuleStatus] == answer::kStatusSuccess;
        return answer[answer::kPosModuleStatus] == answer::kStatusSuccess ||
               answer[answer::kPosSelectCheck] == answer::kCheckOfGoodAnswer;
    }

    void KeepSelectPayload(const unsigned char *answer, int count)
    {
        s_.select_payload_seen = count == answer::kSelectAnswerBytes &&
                                 AnswerFits(answer, count, kSelectPayload) &&
                                 answer[answer::kPosModuleStatus] == answer::kStatusSuccess;
        if (s_.select_payload_seen)
            memcpy(s_.select_payload, answer + answer::kPayloadOffset, sizeof s_.select_payload);
    }

    // A read command (30 01 or 30 10): the fixed wait after it and then the
    // answer, or, answer driven, the answer as soon as it is whole.
    Step ExchangeRead(const unsigned char *frame, unsigned char *answer, int capacity, int *count)
    {
        if (!s_.answer_driven)
            return Exchange(frame, timing::kWaitBeforeReadCardUs, timing::kWaitAfterReadCardUs,
                            answer, capacity, count);
        return Exchange(frame, timing::kWaitBeforeReadCardUs, 0, answer, capacity, count,
                        s_.read_wait);
    }

    // The read command: 30 10 when fingerprints are wanted and the module
    // has neither refused it nor left it unanswered, else the documented
    // 30 01. `card` is filled when a complete answer came (card->text set);
    // otherwise the poll starts over.
    Step ReadCard(unsigned char *answer, int capacity, CardAnswer *card)
    {
        int count = 0;
        if (s_.want_fingerprints && !s_.fingerprints_refused && !s_.fingerprints_unanswered) {
            const Step r =
                ExchangeRead(frame::kReadWithFingerprintsCommand.bytes, answer, capacity, &count);
            if (r != Step::Done)
                return r;
            if (count == kReceiveNothing) {
                // Silence within the whole budget: a module that does not
                // serve fingerprints and says nothing. The card is still
                // selected; read it without them.
                s_.fingerprints_unanswered = true;
            } else if (!CommandRefused(answer, count)) {
                TakeFingerprintAnswer(answer, count, card);
                return Step::Done;
            } else {
                // An older module: the text and the photo without fingerprints.
                s_.fingerprints_refused = true;
            }
        }
        const Step r = ExchangeRead(s_.commands.read, answer, capacity, &count);
        if (r == Step::Done && ReadAccepted(answer, count)) {
            card->answer = answer;
            card->count = count;
            card->text = answer + answer::kTextOffset;
            card->photo = answer + answer::kPhotoOffset;
        }
        return r;
    }

    // Labelled as a read answer (either length byte suffices), then exactly
    // the bytes of one.
    static bool ReadAccepted(const unsigned char *answer, int count)
    {
        const bool labelled = answer[frame::kPosLengthHigh] == answer::kReadLengthHigh ||
                              answer[frame::kPosLengthLow] == answer::kReadLengthLow;
        return labelled && count == answer::kReadAnswerBytes;
    }

    static int BigEndianAt(const unsigned char *bytes, int offset)
    {
        return bytes[offset] << 8 | bytes[offset + 1];
    }

    // A whole 30 10 answer, its three lengths what they must be and adding up
    // to what arrived: anything short, long or odd is no card.
    static void TakeFingerprintAnswer(const unsigned char *answer, int count, CardAnswer *card)
    {
        if (!AnswerFits(answer, count, -1) ||
            answer[answer::kPosModuleStatus] != answer::kStatusSuccess ||
            count < answer::kFingerprintTemplatesOffset + answer::kCheckByteBytes)
            return;
        const int lengths = answer::kFingerprintLengthsOffset;
        const int text = BigEndianAt(answer, lengths);
        const int photo = BigEndianAt(answer, lengths + 2);
        const int templates = BigEndianAt(answer, lengths + 4);
        if (text != kTextLength || photo != kPhotoLength ||
            templates % answer::kFingerprintTemplateBytes != 0 ||
            templates > answer::kFingerprintTemplatesMax * answer::kFingerprintTemplateBytes ||
            count != answer::kFingerprintTemplatesOffset + templates + answer::kCheckByteBytes)
            return;
        card->answer = answer;
        card->count = count;
        card->text = answer + answer::kFingerprintTextOffset;
        card->photo = answer + answer::kFingerprintPhotoOffset;
        card->with_fingerprints = true;
        card->fingerprints = answer + answer::kFingerprintTemplatesOffset;
        card->fingerprint_bytes = templates;
    }

    Link &link_;
    PollSettings &s_;
};

} // namespace vessik

#endif
