// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzz target: ReadIDCardLib, or a vessik_read that asks for the
// fingerprints and the appended address too, against a reader whose answers
// the input scripts. The virtual reader serves the conversation; the input picks a
// fault or two, and rewrites, cuts, drops or invents each IN stage before
// the library sees it. The reader is unplugged after a number of transfers
// the input chooses, so every read ends (with 5 when no card got through).
#include <cstring>
#include <string>
#include <vector>

#include <libusb.h>

#include "IdCardLib.h"
#include "fuzz_input.h"
#include "quiet_bus.h"
#include "record_checks.h"
#include "testbus.h"
#include "vessik_read.h"
#include "virtual_reader.h"

namespace {

constexpr int kHeaderBytes = 7;
constexpr int kReadAnswerBody = 1288; // 05 08
// Room past the longest answer, the read with two fingerprint templates.
constexpr size_t kMaxInventedStage = 2400;
constexpr unsigned kFingerprintAnswerBodies[] = {1290, 1802, 2314};
constexpr unsigned kMinTransfers = 8;
constexpr unsigned kTransferChoices = 120;
// Frame offsets the read judges answers by: the length bytes, the module
// status and the check bytes of the find and select answers.
constexpr int kTestedOffsets[] = {5, 6, 9, 14, 18};
constexpr uint8_t kReadAnswerHeader[kHeaderBytes] = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x05, 0x08};

const char *const kKnownMessages[] = {"usb connect err", "usb connect ok", "read card  successful",
                                      "disconnect usb", "disconnect serial"};

std::vector<std::string> g_messages;

void RecordMessage(int kind, void *text)
{
    const std::string message = static_cast<const char *>(text);
    bool known = false;
    for (const char *k : kKnownMessages)
        known = known || message == k;
    FUZZ_CHECK(kind == 3 && known);
    g_messages.push_back(message);
}

// Puts `value` at frame offset `offset` when this stage carries it; a body
// stage too short to reach it is lengthened with zeros.
void Poke(uint8_t ep, std::vector<uint8_t> &stage, int offset, uint8_t value)
{
    if (ep == vsim::kEpHeaderIn) {
        if (offset < static_cast<int>(stage.size()))
            stage[static_cast<size_t>(offset)] = value;
        return;
    }
    if (offset < kHeaderBytes)
        return;
    const size_t at = static_cast<size_t>(offset - kHeaderBytes);
    if (stage.size() <= at)
        stage.resize(at + 1, 0);
    stage[at] = value;
}

enum StageOp {
    kKeep,
    kPokeTested,
    kCut,
    kInvent,
    kDrop,
    kOverwrite,
    kReadAnswer,
    kFingerprintAnswer,
    kOpCount
};

void RewriteStage(FuzzInput &in, uint8_t ep, std::vector<uint8_t> &stage)
{
    switch (in.below(kOpCount)) {
    case kPokeTested: {
        const int offset = kTestedOffsets[in.below(sizeof(kTestedOffsets) / sizeof(int))];
        Poke(ep, stage, offset, in.byte());
        break;
    }
    case kCut:
        stage.resize(in.below(static_cast<unsigned>(stage.size()) + 1));
        break;
    case kInvent: {
        stage = in.bytes(in.u16() % kMaxInventedStage);
        break;
    }
    case kDrop:
        stage.clear();
        break;
    case kOverwrite: {
        const size_t at = in.u16() % (stage.size() + 1);
        const std::vector<uint8_t> run = in.bytes(in.byte());
        for (size_t i = 0; i < run.size() && at + i < stage.size(); ++i)
            stage[at + i] = run[i];
        break;
    }
    case kReadAnswer:
        if (ep == vsim::kEpHeaderIn) {
            stage.assign(kReadAnswerHeader, kReadAnswerHeader + kHeaderBytes);
        } else {
            stage = in.bytes(kReadAnswerBody);
            stage.resize(kReadAnswerBody, 0);
        }
        break;
    case kFingerprintAnswer: {
        // A header announcing a read with templates, and a body of any length
        // near the ones the header may announce: short, exact or long.
        const unsigned body = kFingerprintAnswerBodies[in.below(3)];
        if (ep == vsim::kEpHeaderIn) {
            stage.assign(kReadAnswerHeader, kReadAnswerHeader + kHeaderBytes);
            stage[5] = static_cast<uint8_t>(body >> 8);
            stage[6] = static_cast<uint8_t>(body & 0xFF);
        } else {
            stage = in.bytes(body + in.below(64) - 32);
        }
        break;
    }
    default:
        break;
    }
}

// One fault of the reader or of the bus, chosen by the input.
void ChooseFault(FuzzInput &in, vsim::Knobs &knobs)
{
    const uint8_t ep_in = in.flag() ? vsim::kEpHeaderIn : vsim::kEpBodyIn;
    const uint8_t ep_out = in.flag() ? vsim::kEpHeaderOut : vsim::kEpBodyOut;
    const int nth = static_cast<int>(in.below(16));
    static const int kBusErrors[] = {LIBUSB_ERROR_IO,       LIBUSB_ERROR_PIPE,
                                     LIBUSB_ERROR_TIMEOUT,  LIBUSB_ERROR_NO_DEVICE,
                                     LIBUSB_ERROR_OVERFLOW, LIBUSB_ERROR_ACCESS};
    static const char *const kConnectSteps[] = {
        "libusb_init", "libusb_get_device_list", "libusb_open_device_with_vid_pid",
        "libusb_claim_interface", "libusb_set_configuration"};
    switch (in.below(9)) {
    case 1:
        knobs.in_timeout = {ep_in, nth};
        break;
    case 2:
        knobs.in_partial = {ep_in, nth};
        knobs.in_partial_bytes = static_cast<int>(in.below(64));
        break;
    case 3:
        knobs.out_stall = {ep_out, nth};
        knobs.stall_sticks = in.flag();
        break;
    case 4:
        knobs.select_fails = static_cast<int>(in.below(4));
        break;
    case 5:
        knobs.read_answer_body_bytes = static_cast<int>(in.u16() % (kMaxInventedStage + 1));
        knobs.read_answer_extra_bytes = static_cast<int>(in.below(64));
        break;
    case 6:
        knobs.read_length_field = in.u16();
        break;
    case 7:
        testbus::fail_next("libusb_bulk_transfer",
                           kBusErrors[in.below(sizeof(kBusErrors) / sizeof(int))],
                           static_cast<int>(in.below(3)) + 1);
        break;
    case 8:
        testbus::fail_next(kConnectSteps[in.below(5)], LIBUSB_ERROR_IO);
        break;
    default:
        break;
    }
}

void CheckMessages(int rc)
{
    const std::vector<std::string> ok_then_read = {"usb connect ok", "read card  successful"};
    const std::vector<std::string> err_only = {"usb connect err"};
    const std::vector<std::string> ok_then_err = {"usb connect ok", "usb connect err"};
    if (rc == VESSIK_RESULT_CARD_READ)
        FUZZ_CHECK(g_messages == ok_then_read);
    else
        FUZZ_CHECK(g_messages == err_only || g_messages == ok_then_err);
}

void CheckNothingLeftOpen()
{
    FUZZ_CHECK(testbus::open_handles() == 0);
    FUZZ_CHECK(testbus::open_contexts() == 0);
    FUZZ_CHECK(testbus::device_lists_outstanding() == 0);
    FUZZ_CHECK(testbus::misuse() == 0);
    FUZZ_CHECK(g_IdCardMain.usb.dev_handle == nullptr);
    FUZZ_CHECK(g_IdCardMain.usb.usb_context == nullptr);
}

// The extended read of the whole card: whatever the answers, it ends with a
// code, writes only inside the caller's card, and never hands out more
// templates than the card can carry.
void ReadWholeCard()
{
    struct Guarded {
        vessik_card card;
        uint8_t after[64];
    } guarded;
    memset(&guarded, 0xA5, sizeof guarded);
    guarded.card.size = sizeof guarded.card;
    vessik_read_options options;
    vessik_read_options_init(&options);
    options.deadline_ms = 5000;
    options.report_same_card = 1;
    options.want_fingerprints = 1;
    options.want_appended_address = 1;
    const int rc = vessik_read(&options, &guarded.card);
    FUZZ_CHECK(rc == VESSIK_OK || rc == VESSIK_E_NO_READER || rc == VESSIK_E_READER_LOST ||
               rc == VESSIK_E_TIMEOUT);
    FUZZ_CHECK(fuzzrec::AllBytes(guarded.after, sizeof guarded.after, 0xA5));
    if (rc != VESSIK_OK)
        return;
    const vessik_card &card = guarded.card;
    FUZZ_CHECK(card.fingerprint_bytes <= sizeof card.fingerprints);
    FUZZ_CHECK(card.fingerprint_bytes == static_cast<unsigned>(card.fingerprint_count) * 512u);
    FUZZ_CHECK(card.appended_address_raw_bytes <= sizeof card.appended_address_raw);
    FUZZ_CHECK(memchr(card.appended_address, 0, sizeof card.appended_address) != nullptr);
    FUZZ_CHECK(memchr(card.name, 0, sizeof card.name) != nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    QuietBus bus;
    vsim::VirtualReader &reader = bus.reader;
    const uint8_t setup = in.byte();
    const bool whole_card = (setup & 8) != 0;
    if ((setup & 1) != 0)
        reader.insert_card(whole_card ? vsim::sample_card_with_fingerprints()
                                      : vsim::sample_card());
    reader.knobs().refind_after_read = (setup & 2) != 0;
    reader.knobs().unplug_after_transfers =
        static_cast<int>(kMinTransfers + in.below(kTransferChoices));
    ChooseFault(in, reader.knobs());
    if ((setup & 4) != 0)
        ChooseFault(in, reader.knobs());
    testbus::attach(&reader);
    testbus::set_in_filter(
        [&in](uint8_t ep, std::vector<uint8_t> &stage) { RewriteStage(in, ep, stage); });

    if (whole_card) {
        ReadWholeCard();
        CheckNothingLeftOpen();
        testbus::reset();
        testbus::recycle();
        return 0;
    }

    g_messages.clear();
    CARD_SetReadInfoCB(RecordMessage);
    fuzzrec::GuardedRecord record;
    const int rc = ReadIDCardLib(&record.info, VESSIK_READER_USB);

    FUZZ_CHECK(rc == VESSIK_RESULT_CARD_READ || rc == VESSIK_RESULT_NO_READER);
    fuzzrec::CheckGuards(record);
    if (rc == VESSIK_RESULT_CARD_READ) {
        fuzzrec::CheckTextFieldsTerminated(record.info);
        fuzzrec::CheckUnwrittenRanges(record.info);
        FUZZ_CHECK(record.info.photo_len == 1024);
    } else {
        FUZZ_CHECK(fuzzrec::AllBytes(&record.info, sizeof(record.info), 0));
    }
    CheckMessages(rc);
    CheckNothingLeftOpen();

    testbus::reset();
    testbus::recycle();
    return 0;
}
