// SPDX-License-Identifier: LGPL-2.1-or-later
// The doctor's capture records: trace lines parsed, and answers redacted
// even when they reach it unmasked.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "capture_format.h"
#include "capture_record.h"
#include "card.h"
#include "card_fixtures.h"
#include "substitute_card.h"
#include "virtual_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::Ucs2le;

constexpr size_t kPayloadAt = 10;
constexpr size_t kLateReadBytes = 2321;
constexpr size_t kWindow = 16;
constexpr uint64_t kLater = 10000000;

// One whole answer of the model to `command`, with `card` on it.
Bytes ModelAnswer(vsim::VirtualReader &reader, const Bytes &command)
{
    reader.out_transfer(vsim::kEpHeaderOut, command.data(), 7, 0);
    reader.out_transfer(vsim::kEpBodyOut, command.data() + 7, static_cast<int>(command.size()) - 7,
                        0);
    Bytes answer(4096);
    int header = 0;
    int body = 0;
    reader.in_transfer(vsim::kEpHeaderIn, answer.data(), 4096, &header, kLater);
    reader.in_transfer(vsim::kEpBodyIn, answer.data() + header, 4096 - header, &body, kLater);
    answer.resize(static_cast<size_t>(header + body));
    return answer;
}

doctor::TracedFrame AnswerTo(const uint8_t (&command)[2], const Bytes &bytes)
{
    doctor::TracedFrame f;
    f.answer = true;
    f.command[0] = command[0];
    f.command[1] = command[1];
    f.bytes = bytes;
    f.length = static_cast<int>(bytes.size());
    return f;
}

bool HoldsWindowOf(const Bytes &haystack, const Bytes &data)
{
    for (size_t i = 0; i + kWindow <= data.size(); ++i) {
        const auto found = std::search(haystack.begin(), haystack.end(), data.begin() + i,
                                       data.begin() + i + kWindow);
        if (found != haystack.end())
            return true;
    }
    return false;
}

bool Holds(const Bytes &haystack, const Bytes &needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

vsim::CardFields OwnCard()
{
    vsim::CardFields card = vsim::sample_card();
    card.name = "甄录卫栩";
    card.id_number = "99123419771205002X";
    card.photo = vsim::photo_from_seed(4242);
    card.fingerprints = {vsim::fingerprint_from_seed(77), vsim::fingerprint_from_seed(78)};
    card.appended_address = "迁入省新址市回放路8号";
    return card;
}

TEST(CaptureRecordTest, ParsesTheTracesFrameLines)
{
    doctor::TracedFrame f;
    ASSERT_TRUE(doctor::ParseTraceLine("frame in usb ep=81+85 cmd=2001 first_us=812 last_us=1003 "
                                       "len=11 bytes=AAAAAA9669000400008084",
                                       &f));
    EXPECT_TRUE(f.answer);
    EXPECT_EQ("81+85", f.stage);
    EXPECT_EQ("2001", capture_format::CommandHex(f.command));
    EXPECT_EQ(812, f.first_us);
    EXPECT_EQ(1003, f.last_us);
    EXPECT_EQ("AAAAAA9669000400008084", capture_format::Hex(f.bytes));

    ASSERT_TRUE(doctor::ParseTraceLine(
        "frame in usb ep=81+85 cmd=3010 first_us=-1 last_us=-1 len=0 none", &f));
    EXPECT_EQ(-1, f.first_us);
    EXPECT_TRUE(f.bytes.empty());
    EXPECT_FALSE(doctor::ParseTraceLine("opened usb:1-1", &f));
    EXPECT_FALSE(doctor::ParseTraceLine("frame out usb ep=02+06 bytes=AAAA", &f));
}

// The doctor keeps its own copy of the sample card: byte for byte the
// model's, so that a capture replays the card the kit's tests know.
TEST(CaptureRecordTest, TheSubstituteCardIsTheModelsSampleCard)
{
    const vsim::CardFields sample = vsim::sample_card_with_fingerprints();
    const auto text = vsim::build_text_block(sample);
    const auto address = vsim::build_appended_address(sample);
    Bytes templates;
    for (const Bytes &t : sample.fingerprints)
        templates.insert(templates.end(), t.begin(), t.end());
    const auto own_text = doctor::SubstituteTextBlock();
    const auto own_address = doctor::SubstituteAppendedAddress();
    EXPECT_EQ(Bytes(text.begin(), text.end()), Bytes(own_text.begin(), own_text.end()));
    EXPECT_EQ(Bytes(address.begin(), address.end()), Bytes(own_address.begin(), own_address.end()));
    EXPECT_EQ(sample.photo, doctor::SubstitutePhoto());
    EXPECT_EQ(templates, doctor::SubstituteTemplates());
}

TEST(CaptureRecordTest, CardDataBecomeTheSampleCardsWithAValidFrame)
{
    const vsim::CardFields card = OwnCard();
    vsim::VirtualReader reader(card);
    ModelAnswer(reader, vsim::sam_frame({0x20, 0x01}));
    ModelAnswer(reader, vsim::sam_frame({0x20, 0x02}));
    const Bytes raw = ModelAnswer(reader, vsim::sam_frame({0x30, 0x10}));
    ASSERT_EQ(2321u, raw.size());
    ASSERT_TRUE(HoldsWindowOf(raw, card.photo)); // the search finds what is there

    doctor::TracedFrame f = AnswerTo(vsim::kCmdReadWithFingerprints, raw);
    EXPECT_EQ(doctor::Redaction::SampleCard, doctor::Redact(f, false));
    ASSERT_EQ(raw.size(), f.bytes.size());
    EXPECT_TRUE(vsim::sam_frame_valid(f.bytes));
    EXPECT_EQ(Bytes(raw.begin(), raw.begin() + kPayloadAt + 6),
              Bytes(f.bytes.begin(), f.bytes.begin() + kPayloadAt + 6)); // status, lengths
    const auto sample_text = vsim::build_text_block(vsim::sample_card());
    EXPECT_TRUE(std::equal(sample_text.begin(), sample_text.end(), f.bytes.begin() + 16));
    EXPECT_FALSE(HoldsWindowOf(f.bytes, card.photo));
    EXPECT_FALSE(HoldsWindowOf(f.bytes, card.fingerprints[0]));
    EXPECT_FALSE(HoldsWindowOf(f.bytes, card.fingerprints[1]));
    ASSERT_TRUE(Holds(raw, Ucs2le(card.name)));
    EXPECT_FALSE(Holds(f.bytes, Ucs2le(card.name)));
    EXPECT_FALSE(Holds(f.bytes, Ucs2le(card.id_number)));

    const Bytes address = ModelAnswer(reader, vsim::sam_frame({0x30, 0x03}));
    doctor::TracedFrame a = AnswerTo(vsim::kCmdReadAppendedAddress, address);
    EXPECT_EQ(doctor::Redaction::SampleCard, doctor::Redact(a, false));
    EXPECT_TRUE(vsim::sam_frame_valid(a.bytes));
    ASSERT_TRUE(Holds(address, Ucs2le(card.appended_address)));
    EXPECT_FALSE(Holds(a.bytes, Ucs2le(card.appended_address)));
}

TEST(CaptureRecordTest, ModuleIdZeroedUnlessKeptOtherDataZeroedFindAndSelectToo)
{
    Bytes contents = {0x00, 0x00, 0x90};
    contents.resize(contents.size() + vsim::kModuleIdBytes, 'M');
    const Bytes id = vsim::sam_frame(contents);
    doctor::TracedFrame f = AnswerTo(vsim::kCmdModuleId, id);
    EXPECT_EQ(doctor::Redaction::Kept, doctor::Redact(f, true));
    EXPECT_EQ(id, f.bytes);
    EXPECT_EQ(doctor::Redaction::ModuleIdZeroed, doctor::Redact(f, false));
    std::fill(contents.begin() + 3, contents.end(), 0);
    EXPECT_EQ(vsim::sam_frame(contents), f.bytes);
    // Of a length its command does not answer with: an identifier one byte
    // short, a 2321-byte read answer arriving after a find.
    contents.resize(contents.size() - 1, 'M');
    doctor::TracedFrame short_id = AnswerTo(vsim::kCmdModuleId, vsim::sam_frame(contents));
    EXPECT_EQ(doctor::Redaction::PayloadZeroed, doctor::Redact(short_id, true));
    contents.resize(kLateReadBytes - vsim::kHeaderStageBytes - 1, 'N');
    doctor::TracedFrame late = AnswerTo(vsim::kCmdFind, vsim::sam_frame(contents));
    EXPECT_EQ(doctor::Redaction::PayloadZeroed, doctor::Redact(late, false));
    EXPECT_EQ(Bytes(kLateReadBytes - kPayloadAt - 1, 0),
              Bytes(late.bytes.begin() + kPayloadAt, late.bytes.end() - 1));

    const uint8_t unknown[2] = {0x60, 0x01};
    doctor::TracedFrame other = AnswerTo(unknown, vsim::sam_frame({0x00, 0x00, 0x90, 'x', 'y'}));
    EXPECT_EQ(doctor::Redaction::PayloadZeroed, doctor::Redact(other, false));
    EXPECT_EQ(vsim::sam_frame({0x00, 0x00, 0x90, 0, 0}), other.bytes);
    doctor::TracedFrame failed =
        AnswerTo(vsim::kCmdRead, vsim::sam_frame({0x00, 0x00, 0x41, 'x', 'y'}));
    EXPECT_EQ(doctor::Redaction::PayloadZeroed, doctor::Redact(failed, false));

    const Bytes select = vsim::sam_frame({0x00, 0x00, 0x90, 1, 2, 3, 4, 5, 6, 7, 8});
    doctor::TracedFrame s = AnswerTo(vsim::kCmdSelect, select);
    EXPECT_EQ(doctor::Redaction::PayloadZeroed, doctor::Redact(s, false));
    EXPECT_EQ(vsim::sam_frame({0x00, 0x00, 0x90, 0, 0, 0, 0, 0, 0, 0, 0}), s.bytes);
    doctor::TracedFrame found = AnswerTo(vsim::kCmdFind, vsim::sam_frame({0, 0, 0x9F, 1, 2, 3, 4}));
    EXPECT_EQ(doctor::Redaction::PayloadZeroed, doctor::Redact(found, false));
}

} // namespace
