// SPDX-License-Identifier: LGPL-2.1-or-later
// The virtual reader driven stage by stage: the security module's answers,
// its realism and every fault knob, the controller, and the frame log.
#include <gtest/gtest.h>

#include <string>

#include "sim_host.h"
#include "virtual_reader.h"

namespace {

using simtest::Bytes;
using simtest::exchange;
using simtest::kInBody;
using simtest::kInHeader;
using simtest::kSecond;
using simtest::receive;
using simtest::send;
using vsim::UsbStatus;

constexpr uint64_t kT0 = 5 * kSecond;

uint8_t status_of(const Bytes &answer)
{
    return answer.size() > 9 ? answer[9] : 0;
}

class ReaderTest : public ::testing::Test {
  protected:
    vsim::VirtualReader reader;
    vsim::CardFields card = vsim::sample_card();
};

// --- Security module ---------------------------------------------------------

TEST_F(ReaderTest, StatusResetAndIdentifierAnswers)
{
    const Bytes id = exchange(reader, simtest::kStatusQuery, kT0);
    ASSERT_EQ(id.size(), 7u + 3 + 16 + 1);
    EXPECT_TRUE(vsim::sam_frame_valid(id));
    EXPECT_EQ(Bytes(id.begin() + 7, id.begin() + 10), Bytes({0x00, 0x00, 0x90}));
    EXPECT_EQ(Bytes(id.begin() + 10, id.begin() + 26),
              Bytes(reader.knobs().module_id.begin(), reader.knobs().module_id.end()));

    const Bytes status = exchange(reader, vsim::sam_frame({0x11, 0xFF}), kT0);
    EXPECT_EQ(status, vsim::sam_frame({0x00, 0x00, 0x90}));
    const Bytes reset = exchange(reader, vsim::sam_frame({0x10, 0xFF}), kT0);
    EXPECT_EQ(reset, vsim::sam_frame({0x00, 0x00, 0x90}));
    EXPECT_EQ(reader.counters().module_id, 1);
    EXPECT_EQ(reader.counters().status, 1);
    EXPECT_EQ(reader.counters().reset, 1);
}

TEST_F(ReaderTest, FindAnswersNoCardOrFoundWithCheckByte97AtOffset14)
{
    EXPECT_EQ(exchange(reader, simtest::kFind, kT0), vsim::sam_frame({0x00, 0x00, 0x80}));

    reader.insert_card(card);
    const Bytes found = exchange(reader, simtest::kFind, kT0);
    const Bytes expected = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x08, 0x00,
                            0x00, 0x9F, 0x00, 0x00, 0x00, 0x00, 0x97};
    EXPECT_EQ(found, expected);
    EXPECT_EQ(reader.counters().find, 2);
}

TEST_F(ReaderTest, SelectNeedsACardThatWasFound)
{
    EXPECT_EQ(status_of(exchange(reader, simtest::kSelect, kT0)), 0x81); // no card
    reader.insert_card(card);
    EXPECT_EQ(status_of(exchange(reader, simtest::kSelect, kT0)), 0x81); // not found yet
    exchange(reader, simtest::kFind, kT0);
    const Bytes selected = exchange(reader, simtest::kSelect, kT0);
    Bytes contents = {0x00, 0x00, 0x90};
    contents.resize(11, 0x00);
    EXPECT_EQ(selected, vsim::sam_frame(contents));
}

// 30 10: three lengths, then text, photo and the templates; 1297, 1809 or
// 2321 bytes. 30 03: the appended address, or 91 for a card without one.
TEST_F(ReaderTest, ReadWithFingerprintsAndAppendedAddressAnswerAtTheirSizes)
{
    for (const size_t templates : {0u, 1u, 2u}) {
        vsim::CardFields moved = vsim::sample_card_with_fingerprints();
        moved.fingerprints.resize(templates);
        if (templates == 0)
            moved.appended_address.clear();
        vsim::VirtualReader r(moved);
        exchange(r, simtest::kFind, kT0);
        exchange(r, simtest::kSelect, kT0);
        send(r, vsim::sam_frame({0x30, 0x10}), kT0);
        const uint64_t ready = kT0 + r.knobs().read_delay_us;
        Bytes answer = simtest::stage(r, kInHeader, ready);
        const Bytes body = simtest::stage(r, kInBody, ready);
        answer.insert(answer.end(), body.begin(), body.end());
        ASSERT_EQ(answer.size(), vsim::kReadWithFingerprintsBaseBytes + 512 * templates);
        EXPECT_TRUE(vsim::sam_frame_valid(answer));
        EXPECT_EQ(Bytes(answer.begin() + 10, answer.begin() + 16),
                  Bytes({0x01, 0x00, 0x04, 0x00, static_cast<uint8_t>(templates * 2), 0x00}));
        for (size_t t = 0; t < templates; ++t)
            EXPECT_EQ(Bytes(answer.begin() + 1296 + 512 * t, answer.begin() + 1808 + 512 * t),
                      moved.fingerprints[t]);

        const Bytes address = exchange(r, vsim::sam_frame({0x30, 0x03}), ready);
        EXPECT_EQ(status_of(address), templates == 0 ? 0x91 : 0x90);
        if (templates > 0) {
            const auto expected = vsim::build_appended_address(moved);
            EXPECT_EQ(Bytes(address.begin() + 10, address.end() - 1),
                      Bytes(expected.begin(), expected.end()));
        }
    }
}

TEST_F(ReaderTest, ReadAnswerCarriesTextBlockAtOffset14AndPhotoAt270)
{
    reader.insert_card(card);
    exchange(reader, simtest::kFind, kT0);
    exchange(reader, simtest::kSelect, kT0);
    send(reader, simtest::kRead, kT0);
    const uint64_t ready = kT0 + reader.knobs().read_delay_us;

    const Bytes header = simtest::stage(reader, kInHeader, ready);
    const Bytes body = simtest::stage(reader, kInBody, ready);
    ASSERT_EQ(header.size(), 7u);
    ASSERT_EQ(body.size(), 1288u);
    Bytes answer = header;
    answer.insert(answer.end(), body.begin(), body.end());

    EXPECT_TRUE(vsim::sam_frame_valid(answer));
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 14),
              Bytes({0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x05, 0x08, 0x00, 0x00, 0x90, 0x01, 0x00, 0x04,
                     0x00}));
    const auto block = vsim::build_text_block(card);
    EXPECT_EQ(Bytes(answer.begin() + 14, answer.begin() + 270), Bytes(block.begin(), block.end()));
    EXPECT_EQ(Bytes(answer.begin() + 270, answer.begin() + 1294), card.photo);
    EXPECT_EQ(reader.counters().read, 1);
}

TEST_F(ReaderTest, ReadWithoutCardOrWithoutSelectAnswers41)
{
    EXPECT_EQ(status_of(exchange(reader, simtest::kRead, kT0)), 0x41);
    reader.insert_card(card);
    exchange(reader, simtest::kFind, kT0);
    EXPECT_EQ(status_of(exchange(reader, simtest::kRead, kT0)), 0x41);
}

TEST_F(ReaderTest, ACardOnceReadIsFoundAgainOnlyAfterItIsPresentedAgain)
{
    reader.insert_card(card);
    ASSERT_EQ(simtest::read_card(reader, kT0).size(), 1295u);
    EXPECT_EQ(status_of(exchange(reader, simtest::kFind, kT0 + kSecond)), 0x80);
    EXPECT_TRUE(reader.has_card()); // still lying there

    reader.remove_card();
    reader.insert_card(card);
    EXPECT_EQ(status_of(exchange(reader, simtest::kFind, kT0 + kSecond)), 0x9F);
}

TEST_F(ReaderTest, RefindAfterReadKnobLetsTheSameCardBeReadAgain)
{
    reader.knobs().refind_after_read = true;
    reader.insert_card(card);
    ASSERT_EQ(simtest::read_card(reader, kT0).size(), 1295u);
    EXPECT_EQ(simtest::read_card(reader, kT0 + kSecond).size(), 1295u);
    EXPECT_EQ(reader.counters().read, 2);
}

// The select answer's 8 bytes: zeros for every card, or the card's own.
TEST_F(ReaderTest, SelectAnswerIsZerosOrTheCardsOwnBytes)
{
    vsim::CardFields other = card;
    other.name = "张三";
    for (const bool names : {false, true}) {
        SCOPED_TRACE(names ? "select-names-card" : "zeros");
        reader.knobs().select_names_card = names;
        std::vector<Bytes> payloads;
        for (const vsim::CardFields *laid : {&card, &card, &other}) {
            reader.insert_card(*laid);
            exchange(reader, simtest::kFind, kT0);
            const Bytes selected = exchange(reader, simtest::kSelect, kT0);
            ASSERT_TRUE(selected.size() == 19u && vsim::sam_frame_valid(selected));
            payloads.emplace_back(selected.begin() + 10, selected.begin() + 18);
        }
        EXPECT_EQ(payloads[0], payloads[1]); // one card, one answer
        EXPECT_EQ(payloads[0] != payloads[2], names);
        EXPECT_EQ(payloads[0] == Bytes(8, 0x00), !names);
    }
}

TEST_F(ReaderTest, ReadAnswerIsReadyOnlyAfterTheReadDelay)
{
    reader.knobs().read_delay_us = 300000;
    reader.insert_card(card);
    exchange(reader, simtest::kFind, kT0);
    exchange(reader, simtest::kSelect, kT0);
    send(reader, simtest::kRead, kT0);

    UsbStatus s = UsbStatus::Ok;
    EXPECT_TRUE(simtest::stage(reader, kInHeader, kT0 + 299999, &s).empty());
    EXPECT_EQ(s, UsbStatus::NothingReady);
    EXPECT_EQ(reader.counters().in_on(kInHeader), 2); // the early IN is not counted
    ASSERT_TRUE(reader.ready_at_us(kInHeader).has_value());
    EXPECT_EQ(*reader.ready_at_us(kInHeader), kT0 + 300000);
    EXPECT_EQ(*reader.ready_at_us(kInBody), kT0 + 300000);
    EXPECT_EQ(receive(reader, kT0 + 300000).size(), 1295u);
    EXPECT_FALSE(reader.ready_at_us(kInHeader).has_value());
}

TEST_F(ReaderTest, BadCommandFramesAreAnsweredWithTheirErrorStatus)
{
    Bytes bad_check = simtest::kFind;
    bad_check[9] ^= 0x01;
    EXPECT_EQ(exchange(reader, bad_check, kT0), vsim::sam_frame({0x00, 0x00, 0x10}));

    Bytes long_body = simtest::kFind; // length says 3, body carries 4
    long_body.push_back(0x00);
    EXPECT_EQ(status_of(exchange(reader, long_body, kT0)), 0x11);

    const Bytes with_data = vsim::sam_frame({0x20, 0x01, 0x00}); // a find carries no data
    EXPECT_EQ(status_of(exchange(reader, with_data, kT0)), 0x11);

    const Bytes unknown = vsim::sam_frame({0x40, 0x01});
    EXPECT_EQ(status_of(exchange(reader, unknown, kT0)), 0x21);

    EXPECT_EQ(reader.counters().frames_rejected, 3);
    EXPECT_EQ(reader.counters().unknown_command, 1);
    EXPECT_EQ(reader.counters().find, 0);
}

TEST_F(ReaderTest, DamagedHeaderAndStrayBodyGoUnanswered)
{
    Bytes bad_preamble = simtest::kFind;
    bad_preamble[3] = 0x97;
    EXPECT_TRUE(exchange(reader, bad_preamble, kT0).empty());

    const Bytes body(simtest::kFind.begin() + 7, simtest::kFind.end());
    EXPECT_EQ(reader.out_transfer(simtest::kOutBody, body.data(), 3, kT0), UsbStatus::Ok);
    EXPECT_TRUE(receive(reader, kT0).empty());
    EXPECT_EQ(reader.counters().frames_rejected, 3); // bad header, then its body, then the stray
}

TEST_F(ReaderTest, ANewCommandDiscardsUnreadAnswersButKeepsEvents)
{
    reader.insert_card(card);
    ASSERT_TRUE(reader.emit_event(1, 0x05, {}, kT0));
    send(reader, simtest::kFind, kT0);
    send(reader, vsim::sam_frame({0x11, 0xFF}), kT0);

    EXPECT_EQ(receive(reader, kT0).size(), 12u); // the event, queued first
    EXPECT_EQ(receive(reader, kT0), vsim::sam_frame({0x00, 0x00, 0x90}));
    EXPECT_TRUE(receive(reader, kT0).empty()); // the find answer is gone
}

// --- Card movement knobs -------------------------------------------------------

TEST_F(ReaderTest, CardArrivesAfterTheGivenNumberOfFinds)
{
    reader.knobs().card_arrives_after_finds = 2;
    reader.insert_card(card);
    EXPECT_FALSE(reader.has_card());
    EXPECT_EQ(status_of(exchange(reader, simtest::kFind, kT0)), 0x80);
    EXPECT_EQ(status_of(exchange(reader, simtest::kFind, kT0)), 0x80);
    EXPECT_EQ(status_of(exchange(reader, simtest::kFind, kT0)), 0x9F);
    EXPECT_TRUE(reader.has_card());
}

TEST_F(ReaderTest, CardLeavesAfterTheGivenNumberOfFinds)
{
    reader.knobs().card_leaves_after_finds = 2;
    reader.insert_card(card);
    EXPECT_EQ(status_of(exchange(reader, simtest::kFind, kT0)), 0x9F);
    EXPECT_TRUE(reader.has_card());
    EXPECT_EQ(status_of(exchange(reader, simtest::kFind, kT0)), 0x9F);
    EXPECT_FALSE(reader.has_card());
    EXPECT_EQ(status_of(exchange(reader, simtest::kSelect, kT0)), 0x81);
    EXPECT_EQ(status_of(exchange(reader, simtest::kFind, kT0)), 0x80);
}

TEST_F(ReaderTest, SelectFailsTheGivenNumberOfTimes)
{
    reader.knobs().select_fails = 2;
    reader.insert_card(card);
    for (const uint8_t expected : {0x81, 0x81, 0x90}) {
        exchange(reader, simtest::kFind, kT0);
        EXPECT_EQ(status_of(exchange(reader, simtest::kSelect, kT0)), expected);
    }
    reader.knobs().select_fails = -1;
    exchange(reader, simtest::kFind, kT0);
    EXPECT_EQ(status_of(exchange(reader, simtest::kSelect, kT0)), 0x81);
}

// --- Answer damage knobs -------------------------------------------------------

TEST_F(ReaderTest, ShortReadAnswerCarriesOnlyPartOfItsBody)
{
    reader.knobs().read_answer_body_bytes = 100;
    reader.insert_card(card);
    const Bytes answer = simtest::read_card(reader, kT0);
    ASSERT_EQ(answer.size(), 107u);
    EXPECT_EQ(answer[5], 0x05); // still announces 1288 bytes
    EXPECT_EQ(answer[6], 0x08);
}

TEST_F(ReaderTest, MislabelledReadAnswerIsFullLengthWithOtherLengthBytes)
{
    reader.knobs().read_length_field = 0x0407;
    reader.insert_card(card);
    const Bytes answer = simtest::read_card(reader, kT0);
    ASSERT_EQ(answer.size(), 1295u);
    EXPECT_EQ(answer[5], 0x04);
    EXPECT_EQ(answer[6], 0x07);
    EXPECT_EQ(answer[9], 0x90);
    EXPECT_EQ(answer.back(), vsim::sam_check_byte(answer.data(), answer.size() - 1));
}

TEST_F(ReaderTest, DamagedPreambleAndCheckByteSpoilOnlyThoseBytes)
{
    reader.insert_card(card);
    reader.knobs().damage_preamble = true;
    Bytes found = exchange(reader, simtest::kFind, kT0);
    ASSERT_EQ(found.size(), 15u);
    EXPECT_EQ(found[0], 0x55);
    EXPECT_EQ(found[9], 0x9F);
    EXPECT_EQ(found[14], 0x97);

    reader.knobs().damage_preamble = false;
    reader.knobs().damage_check_byte = true;
    found = exchange(reader, simtest::kFind, kT0);
    EXPECT_EQ(found[0], 0xAA);
    EXPECT_EQ(found[9], 0x9F);
    EXPECT_FALSE(vsim::sam_frame_valid(found));
}

// --- Transfer fault knobs ----------------------------------------------------------

TEST_F(ReaderTest, InTimeoutOnTheNthStageLeavesItsDataQueued)
{
    reader.knobs().in_timeout = {kInBody, 1};
    send(reader, simtest::kStatusQuery, kT0);
    EXPECT_EQ(simtest::stage(reader, kInHeader, kT0).size(), 7u);
    UsbStatus s = UsbStatus::Ok;
    EXPECT_TRUE(simtest::stage(reader, kInBody, kT0, &s).empty());
    EXPECT_EQ(s, UsbStatus::Timeout);
    EXPECT_EQ(simtest::stage(reader, kInBody, kT0, &s).size(), 20u); // the second gets it
    EXPECT_EQ(s, UsbStatus::Ok);
}

TEST_F(ReaderTest, InTimeoutOnEveryStageEvenWithNothingQueued)
{
    reader.knobs().in_timeout = {kInHeader, 0};
    UsbStatus s = UsbStatus::Ok;
    simtest::stage(reader, kInHeader, kT0, &s);
    EXPECT_EQ(s, UsbStatus::Timeout);
    send(reader, simtest::kStatusQuery, kT0);
    simtest::stage(reader, kInHeader, kT0, &s);
    EXPECT_EQ(s, UsbStatus::Timeout);
    EXPECT_EQ(simtest::stage(reader, kInBody, kT0, &s).size(), 20u);
}

TEST_F(ReaderTest, PartialInDeliversSomeBytesThenTimesOutAndLosesTheRest)
{
    reader.knobs().in_partial = {kInBody, 1};
    reader.knobs().in_partial_bytes = 5;
    send(reader, simtest::kStatusQuery, kT0);
    const Bytes header = simtest::stage(reader, kInHeader, kT0);
    UsbStatus s = UsbStatus::Ok;
    const Bytes part = simtest::stage(reader, kInBody, kT0, &s);
    EXPECT_EQ(s, UsbStatus::Timeout);
    EXPECT_EQ(part, Bytes({0x00, 0x00, 0x90, 'V', 'S'}));
    EXPECT_TRUE(simtest::stage(reader, kInBody, kT0, &s).empty());
    EXPECT_EQ(s, UsbStatus::NothingReady);
}

TEST_F(ReaderTest, OutStallHaltsTheEndpointUntilClearHalt)
{
    reader.knobs().out_stall = {simtest::kOutBody, 1};
    EXPECT_EQ(send(reader, simtest::kFind, kT0), UsbStatus::Stall);
    EXPECT_EQ(send(reader, simtest::kFind, kT0), UsbStatus::Stall); // still halted
    EXPECT_EQ(reader.clear_halt(simtest::kOutBody), UsbStatus::Ok);
    EXPECT_EQ(send(reader, simtest::kFind, kT0), UsbStatus::Ok);
    EXPECT_EQ(status_of(receive(reader, kT0)), 0x80);
    EXPECT_EQ(reader.counters().find, 1);

    reader.knobs().out_stall = {simtest::kOutHeader, 0};
    reader.knobs().stall_sticks = false;
    EXPECT_EQ(send(reader, simtest::kFind, kT0), UsbStatus::Stall);
    reader.knobs().out_stall = {};
    EXPECT_EQ(send(reader, simtest::kFind, kT0), UsbStatus::Ok); // no halt left behind
}

TEST_F(ReaderTest, UnplugAfterTransfersLetsTheNthCompleteThenAnswersNoDevice)
{
    reader.knobs().unplug_after_transfers = 3;
    send(reader, simtest::kStatusQuery, kT0);                     // transfers 1 and 2
    EXPECT_EQ(simtest::stage(reader, kInHeader, kT0).size(), 7u); // 3rd completes
    EXPECT_FALSE(reader.present());
    UsbStatus s = UsbStatus::Ok;
    simtest::stage(reader, kInBody, kT0, &s);
    EXPECT_EQ(s, UsbStatus::NoDevice);
    EXPECT_EQ(send(reader, simtest::kFind, kT0), UsbStatus::NoDevice);
    EXPECT_EQ(reader.clear_halt(kInBody), UsbStatus::NoDevice);
    EXPECT_EQ(reader.release_interface(0), UsbStatus::NoDevice);
    int config = 0;
    EXPECT_EQ(reader.get_configuration(&config), UsbStatus::NoDevice);

    reader.replug();
    EXPECT_TRUE(reader.present());
    EXPECT_TRUE(receive(reader, kT0).empty()); // what was queued is lost
    EXPECT_EQ(exchange(reader, simtest::kFind, kT0).size(), 11u);
}

TEST_F(ReaderTest, DeviceRequestKnobs)
{
    reader.knobs().claim_error = UsbStatus::Access;
    EXPECT_EQ(reader.claim_interface(0), UsbStatus::Access);
    reader.knobs().claim_error = UsbStatus::Ok;

    reader.knobs().set_configuration_error = UsbStatus::Busy;
    EXPECT_EQ(reader.set_configuration(1), UsbStatus::Busy);
    reader.knobs().set_configuration_error = UsbStatus::Ok;
    EXPECT_EQ(reader.set_configuration(1), UsbStatus::Ok);

    reader.knobs().kernel_driver_active = true;
    bool active = false;
    EXPECT_EQ(reader.kernel_driver_active(0, &active), UsbStatus::Ok);
    EXPECT_TRUE(active);
    EXPECT_EQ(reader.claim_interface(0), UsbStatus::Busy);
    EXPECT_EQ(reader.detach_kernel_driver(0), UsbStatus::Ok);
    EXPECT_EQ(reader.detach_kernel_driver(0), UsbStatus::NotFound);
    reader.kernel_driver_active(0, &active);
    EXPECT_FALSE(active);
    EXPECT_EQ(reader.claim_interface(0), UsbStatus::Ok);
    EXPECT_EQ(reader.set_configuration(1), UsbStatus::Busy); // interface claimed
    EXPECT_EQ(reader.release_interface(0), UsbStatus::Ok);
    EXPECT_EQ(reader.release_interface(0), UsbStatus::NotFound);

    reader.unplug();
    reader.replug(); // the kernel driver binds again
    reader.kernel_driver_active(0, &active);
    EXPECT_TRUE(active);
}

// --- Controller --------------------------------------------------------------------

TEST_F(ReaderTest, ProbeAndRestartAreAnsweredWithTheStatusFrameSplit7PlusBody)
{
    EXPECT_EQ(simtest::send_mcu(reader, simtest::kProbe, kT0), UsbStatus::Ok);
    EXPECT_EQ(simtest::stage(reader, kInHeader, kT0),
              Bytes({0xAA, 0x00, 0x05, 0x00, 0x00, 0x90, 0x00}));
    EXPECT_EQ(simtest::stage(reader, kInBody, kT0), Bytes({0x95}));

    simtest::send_mcu(reader, simtest::kRestart, kT0);
    EXPECT_EQ(receive(reader, kT0), vsim::mcu_status_frame());

    const Bytes unknown = {0xAA, 0x00, 0x03, 0x07, 0x00, 0x04};
    simtest::send_mcu(reader, unknown, kT0);
    EXPECT_TRUE(receive(reader, kT0).empty());
    EXPECT_EQ(reader.counters().probes, 1);
    EXPECT_EQ(reader.counters().restarts, 1);
    EXPECT_EQ(reader.counters().mcu_rejected, 1);
}

TEST_F(ReaderTest, ControllerFaultKnobs)
{
    reader.knobs().controller_answers_probe = 2;
    for (const size_t expected : {0u, 8u, 0u}) {
        simtest::send_mcu(reader, simtest::kProbe, kT0);
        EXPECT_EQ(receive(reader, kT0).size(), expected);
    }

    reader.knobs().controller_answers_probe = 0;
    reader.knobs().controller_silent = true;
    simtest::send_mcu(reader, simtest::kProbe, kT0);
    simtest::send_mcu(reader, simtest::kRestart, kT0);
    EXPECT_TRUE(receive(reader, kT0).empty());
    reader.knobs().controller_silent = false;

    reader.knobs().mcu_write_stalls = 2;
    EXPECT_EQ(simtest::send_mcu(reader, simtest::kProbe, kT0), UsbStatus::Stall);
    EXPECT_EQ(simtest::send_mcu(reader, simtest::kProbe, kT0), UsbStatus::Stall);
    EXPECT_EQ(simtest::send_mcu(reader, simtest::kProbe, kT0), UsbStatus::Ok);
    EXPECT_EQ(reader.counters().probes, 5);                      // stalled writes never reached it
    EXPECT_EQ(send(reader, simtest::kFind, kT0), UsbStatus::Ok); // SAM frames unaffected
}

TEST_F(ReaderTest, EmittedEventArrivesSplitLikeAnyAnswer)
{
    ASSERT_TRUE(reader.emit_event(2, 0x07, {0x11, 0x22}, kT0));
    const Bytes header = simtest::stage(reader, kInHeader, kT0);
    const Bytes body = simtest::stage(reader, kInBody, kT0);
    ASSERT_EQ(header.size(), 7u);
    ASSERT_EQ(body.size(), 18u);
    EXPECT_EQ(header[3], 0x03);
    EXPECT_EQ(header[4], 0x04);
    EXPECT_EQ(header[6], 0x07);
    EXPECT_EQ(body[0], 16); // N
    EXPECT_EQ(body[1], 0x11);
    EXPECT_FALSE(reader.emit_event(9, 0, {}, kT0));
    EXPECT_EQ(reader.counters().events_sent, 1);
}

TEST_F(ReaderTest, SerialSideAnswersProbesEvenWhenSplitAcrossWrites)
{
    const Bytes noise = {0x00, 0x13};
    EXPECT_TRUE(reader.serial_write(noise.data(), 2, kT0).empty());
    EXPECT_TRUE(reader.serial_write(simtest::kProbe.data(), 4, kT0).empty());
    EXPECT_EQ(reader.serial_write(simtest::kProbe.data() + 4, 2, kT0), vsim::mcu_status_frame());

    reader.knobs().controller_silent = true;
    EXPECT_TRUE(reader.serial_write(simtest::kProbe.data(), 6, kT0).empty());
    EXPECT_EQ(reader.counters().probes, 2);
}

// --- Device and log ------------------------------------------------------------------

TEST_F(ReaderTest, FrameLogHasOneHexLinePerStageAndFeedsTheSink)
{
    std::vector<std::string> sunk;
    reader.set_log_sink([&](const std::string &line) { sunk.push_back(line); });
    exchange(reader, simtest::kFind, 1234);
    const std::vector<std::string> &log = reader.log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "t=1234 OUT 02 [7] AA AA AA 96 69 00 03");
    EXPECT_EQ(log[1], "t=1234 OUT 06 [3] 20 01 22");
    EXPECT_EQ(log[2], "t=1234 IN 81 [7] AA AA AA 96 69 00 04");
    EXPECT_EQ(log[3], "t=1234 IN 85 [4] 00 00 80 84");
    EXPECT_EQ(sunk, log);

    reader.clear_log();
    reader.set_keep_log(false);
    exchange(reader, simtest::kFind, 1234);
    EXPECT_TRUE(reader.log().empty());
    EXPECT_EQ(sunk.size(), 8u);
}

TEST_F(ReaderTest, UnpluggedReaderRefusesEverythingUntilReplugged)
{
    reader.insert_card(card);
    send(reader, simtest::kFind, kT0);
    reader.unplug();
    UsbStatus s = UsbStatus::Ok;
    simtest::stage(reader, kInHeader, kT0, &s);
    EXPECT_EQ(s, UsbStatus::NoDevice);
    EXPECT_FALSE(reader.ready_at_us(kInHeader).has_value());
    EXPECT_EQ(reader.claim_interface(0), UsbStatus::NoDevice);
    EXPECT_EQ(reader.reset_device(kT0), UsbStatus::NoDevice);
    bool active = false;
    EXPECT_EQ(reader.kernel_driver_active(0, &active), UsbStatus::NoDevice);

    reader.replug();
    EXPECT_TRUE(reader.has_card()); // the card stayed on the reader
    EXPECT_EQ(status_of(exchange(reader, simtest::kFind, kT0)), 0x9F);
}

} // namespace
