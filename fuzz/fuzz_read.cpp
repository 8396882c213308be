// Fuzz target: ReadIDCardLib against a reader whose answers the input
// scripts. The virtual reader serves the conversation; the input picks a
// fault or two, and rewrites, cuts, drops or invents each IN stage before
// the library sees it. The reader is unplugged after a number of transfers
// the input chooses, so every read ends (with 5 when no card got through).
#include <cstring>
#include <string>
#include <vector>

#include <libusb.h>

#include "IdCardLib.h"
#include "fuzz_input.h"
#include "record_checks.h"
#include "testbus.h"
#include "virtual_reader.h"

namespace {

constexpr int kHeaderBytes = 7;
constexpr int kReadAnswerBody = 1288; // 05 08
constexpr size_t kMaxInventedStage = 2100;
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

enum StageOp { kKeep, kPokeTested, kCut, kInvent, kDrop, kOverwrite, kReadAnswer, kOpCount };

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
        knobs.read_answer_body_bytes = static_cast<int>(in.u16() % (kReadAnswerBody + 1));
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    testbus::reset();
    vsim::VirtualReader reader;
    reader.set_keep_log(false);
    const uint8_t setup = in.byte();
    if ((setup & 1) != 0)
        reader.insert_card(vsim::sample_card());
    reader.knobs().refind_after_read = (setup & 2) != 0;
    reader.knobs().unplug_after_transfers =
        static_cast<int>(kMinTransfers + in.below(kTransferChoices));
    ChooseFault(in, reader.knobs());
    if ((setup & 4) != 0)
        ChooseFault(in, reader.knobs());
    testbus::attach(&reader);
    testbus::set_in_filter(
        [&in](uint8_t ep, std::vector<uint8_t> &stage) { RewriteStage(in, ep, stage); });

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
