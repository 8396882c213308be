// SPDX-License-Identifier: LGPL-2.1-or-later
// The reader object: one card read over USB, decoding of the card text into
// idInfo, and maintenance over the reader's own controller.
#include "CardMain.h"

#include <cstdint>
#include <cstring>
#include <libusb.h>
#include <unistd.h>

#include "Public.h"
#include "answer_layout.h"
#include "card_text.h"
#include "diag.h"
#include "frame.h"
#include "poll_engine.h"
#include "timing.h"
#include "usb_device.h"
#include "wipe.h"

// The module's four commands, whole with their check bytes: writable copies
// of the built frames, which the documented read sends as clients leave them.
static_assert(vessik::frame::kCommandFrameBytes == 10, "the exported frames hold 10 bytes");
#define VESSIK_COMMAND_BYTES(c)                                                                    \
    {                                                                                              \
        (c).bytes[0], (c).bytes[1], (c).bytes[2], (c).bytes[3], (c).bytes[4], (c).bytes[5],        \
            (c).bytes[6], (c).bytes[7], (c).bytes[8], (c).bytes[9]                                 \
    }
unsigned char SAM_M_Status[10] = VESSIK_COMMAND_BYTES(vessik::frame::kModuleIdCommand);
unsigned char SAM_Serach[10] = VESSIK_COMMAND_BYTES(vessik::frame::kFindCommand);
unsigned char SAM_Select[10] = VESSIK_COMMAND_BYTES(vessik::frame::kSelectCommand);
unsigned char SAM_ReadCard[10] = VESSIK_COMMAND_BYTES(vessik::frame::kReadCommand);
#undef VESSIK_COMMAND_BYTES

namespace {

using namespace vessik::answer;
using namespace vessik::diag;
using namespace vessik::timing;
using vessik::MonotonicUs;

// ReadIDCardLib clears the record's first bytes (name and sex) before decoding.
constexpr int kRecordHeadCleared = 8;

} // namespace

CardMain::CardMain()
    : read_info_cb(nullptr), service_address{}, service_port(0), com_path{}, com_baud_rate(0),
      card_type(CARDTYPE_SERIAL)
{
}

// Members go in reverse order: serial closes its port, then usb its device.
CardMain::~CardMain() = default;

void CardMain::IDCARD_SetReadInfoCB(ReadInfoCallback fn)
{
    if (fn != nullptr)
        read_info_cb = fn;
}

namespace {

// The documented read's link: the reader object's own NvUsb, one wait of the
// answer timeout per stage.
class DocumentedUsbLink {
  public:
    explicit DocumentedUsbLink(NvUsb &usb) : usb_(usb) {}
    vessik::SendResult Send(const unsigned char *frame, int len)
    {
        // WriteUsb only reads the frame.
        return usb_.WriteUsb(const_cast<unsigned char *>(frame), len) == LIBUSB_ERROR_NO_DEVICE
                   ? vessik::SendResult::Lost
                   : vessik::SendResult::Sent;
    }
    int Receive(unsigned char *buf, int capacity, const vessik::AnswerWait &wait)
    {
        return usb_.ReadUsb(buf, capacity, wait.stage_ms);
    }

  private:
    NvUsb &usb_;
};

// Sends a status message to the registered callback, if any.
void Report(const CardMain &main, const char *message)
{
    if (main.read_info_cb != nullptr)
        main.read_info_cb(kStatusKind, const_cast<char *>(message));
}

// Polls status, find, select and read with the exported frames on the open
// usb link until a complete read answer is in `answer`, or the reader is gone.
bool PollForCard(NvUsb &usb, unsigned char (&answer)[vessik::usb::kReplyBufferBytes])
{
    vessik::PollSettings settings;
    settings.commands = {SAM_M_Status, SAM_Serach, SAM_Select, SAM_ReadCard};
    settings.wait.stage_ms = kDocumentedAnswerTimeoutMs;
    DocumentedUsbLink link(usb);
    return vessik::CardPoll<DocumentedUsbLink>(link, settings).Run(answer, sizeof answer) ==
           vessik::PollOutcome::CardRead;
}

// The reader could not be opened, or went away while polling: release what
// is left, pause so a caller that loops does not hammer a missing reader,
// and close up.
int GiveUp(CardMain &main)
{
    Report(main, kMsgConnectErr);
    main.usb.DisConnectUsb();
    sleep(kWaitAfterFailedOpenS);
    return main.ReadCardCompleted(VESSIK_RESULT_NO_READER);
}

void DecodeCard(const unsigned char *answer, idInfo *info)
{
    unsigned char block[kTextBytes];
    memcpy(block, answer + kTextOffset, sizeof(block));

    memset(info, 0, kRecordHeadCleared);
    vessik::DecodeCardText(block, info);

    memcpy(info->photo, answer + kPhotoOffset, kPhotoBytes);
    info->photo_len = kPhotoBytes;
    vessik::WipeSecret(block, sizeof block);
}

} // namespace

int CardMain::IReadCardInfo(idInfo *info, Cardtype type)
{
    card_type = type;
    if (type != CARDTYPE_USB || info == nullptr)
        return VESSIK_RESULT_UNSUPPORTED_KIND;

    if (usb.ConnectUsb() == -1)
        return GiveUp(*this);
    Report(*this, kMsgConnectOk);

    // The documented read: no deadline, no pause, every wait whole.
    unsigned char answer[vessik::usb::kReplyBufferBytes];
    if (!PollForCard(usb, answer)) {
        vessik::WipeSecret(answer, sizeof answer);
        return GiveUp(*this);
    }

    Report(*this, kMsgReadOk);
    DecodeCard(answer, info);
    vessik::WipeSecret(answer, sizeof answer);
    usb.DisConnectUsb();
    return VESSIK_RESULT_CARD_READ;
}

int CardMain::ReadCardCompleted(int code)
{
    if (serial.port_fd <= 0) {
        // The USB link's own release, with the status message in place of
        // the line DisConnectUsb prints.
        if (vessik::usb::ReleaseReader(&usb.dev_handle))
            Report(*this, kMsgDisconnectUsb);
        vessik::usb::EndContext(&usb.usb_context);
    } else {
        Report(*this, kMsgDisconnectSerial);
        serial.Close_port(serial.port_fd);
    }
    return code;
}

// ---- Maintenance over the reader's controller ----

namespace {

constexpr int kMcuFrameBytes = 6;
constexpr unsigned char kProbeFrame[kMcuFrameBytes] = {0xAA, 0x00, 0x03, 0x00, 0x00, 0x03};
constexpr unsigned char kRestartFrame[kMcuFrameBytes] = {0xAA, 0x00, 0x03, 0xF0, 0x00, 0xF3};
constexpr useconds_t kMcuSettleUs = 1000;
constexpr int kHeartbeatAttempts = 3;
constexpr int kHeartbeatReadMs = 50;
constexpr int kHeartbeatSerialReplyBytes = 8;
constexpr int kHeartbeatSerialBudgetMs = 500;
constexpr int kSelfCheckReadMs = 2000;
constexpr int kRestartReadMs = 1000;
constexpr int kHasCardWaitMs = 10000;

constexpr unsigned char kMcuStart = 0xAA;
constexpr unsigned char kMcuStatusCommand = 0x01;
constexpr unsigned char kMcuEventCommand = 0x03;
constexpr unsigned char kStatusFrameLengthLow = 0x17;
constexpr int kPosMcuLengthLow = 2;
constexpr int kPosMcuCommand = 3;
constexpr int kPosMcuKind = 4;
constexpr int kPosEventSingle = 6;
constexpr int kPosEventCount = 7;
constexpr int kPosEventData = 8;

struct EventClass {
    int result;
    int length;
    unsigned char kind;
};
// Event frames by total length and kind, in the order they are tested.
constexpr EventClass kEventClasses[] = {{1, 12, 0x01}, {4, 41, 0x02}, {3, 39, 0x03}, {2, 25, 0x04}};
constexpr int kStatusFrameResult = 5;
constexpr int kStatusFrameLength = 26;

// Hands out the single byte and the data of an event frame.
void GetICCard(const unsigned char *frame, unsigned char *single, int /*unused*/,
               unsigned char *data)
{
    *single = frame[kPosEventSingle];
    const int count = frame[kPosEventCount];
    if (count > 0)
        memcpy(data, frame + kPosEventData, static_cast<size_t>(count));
}

} // namespace

int CardMain::heartbeat(Cardtype type)
{
    unsigned char probe[kMcuFrameBytes];
    memcpy(probe, kProbeFrame, sizeof(probe));
    usleep(kMcuSettleUs);

    if (type == CARDTYPE_SERIAL) {
        // select() cannot watch a closed descriptor: no port, no answer.
        if (serial.port_fd < 0)
            return 0;
        serial.WriteSerial(serial.port_fd, probe, kMcuFrameBytes);
        unsigned char reply[kHeartbeatSerialReplyBytes] = {};
        return serial.ReadSerial(serial.port_fd, reply, kHeartbeatSerialReplyBytes,
                                 kHeartbeatSerialBudgetMs) > 0
                   ? 1
                   : 0;
    }
    if (type != CARDTYPE_USB)
        return 0;

    unsigned char reply[vessik::usb::kReplyBufferBytes] = {};
    int answered = 0;
    for (int attempt = 0; attempt < kHeartbeatAttempts && answered == 0; ++attempt) {
        if (usb.WriteUsb(probe, kMcuFrameBytes) < 0) {
            usb.Resetep();
            PutLine(kLineWriteFailedReset);
        }
        if (usb.ReadUsb(reply, kHeartbeatReadMs) > 0)
            answered = 1;
    }
    // What came may be a module's late answer to a card read.
    vessik::WipeSecret(reply, sizeof reply);
    return answered;
}

void CardMain::self_check()
{
    unsigned char probe[kMcuFrameBytes];
    memcpy(probe, kProbeFrame, sizeof(probe));
    usleep(kMcuSettleUs);
    if (usb.WriteUsb(probe, kMcuFrameBytes) < 0) {
        usb.Resetep();
        LOG_Str(kLogWriteFailed, kLogReset);
    }

    unsigned char reply[vessik::usb::kReplyBufferBytes] = {};
    usleep(kMcuSettleUs);
    const bool answered = usb.ReadUsb(reply, kSelfCheckReadMs) >= 1;
    // What came may be a module's late answer to a card read.
    vessik::WipeSecret(reply, sizeof reply);
    if (answered) {
        PutLine(kLineDataDetected);
        return;
    }

    unsigned char restart[kMcuFrameBytes];
    memcpy(restart, kRestartFrame, sizeof(restart));
    usb.WriteUsb(restart, kMcuFrameBytes);
    unsigned char second_reply[vessik::usb::kReplyBufferBytes] = {};
    const bool silent = usb.ReadUsb(second_reply, kRestartReadMs) < 0;
    vessik::WipeSecret(second_reply, sizeof second_reply);
    if (silent)
        LOG_Str(kLogNoData, kLogRestartFailed);
}

int CardMain::HasCard(unsigned char *reply, int &reply_len, unsigned char * /*unused*/,
                      int & /*unused_len*/)
{
    if (reply == nullptr) {
        reply_len = -1;
        return 0;
    }
    const int count = usb.ReadUsb(reply, kHasCardWaitMs);
    reply_len = count;
    if (count <= 0)
        return 0;

    if (count == kStatusFrameLength && reply[0] == kMcuStart &&
        reply[kPosMcuLengthLow] == kStatusFrameLengthLow &&
        reply[kPosMcuCommand] == kMcuStatusCommand)
        return kStatusFrameResult;
    for (const EventClass &event : kEventClasses) {
        if (count == event.length && reply[0] == kMcuStart &&
            reply[kPosMcuCommand] == kMcuEventCommand && reply[kPosMcuKind] == event.kind)
            return event.result;
    }
    return 0;
}

bool CardMain::ICCard(unsigned char *frame, unsigned char *single, int unused, unsigned char *data)
{
    if (frame == nullptr || single == nullptr || data == nullptr)
        return false;
    if (frame[0] != kMcuStart || frame[kPosMcuCommand] != kMcuEventCommand)
        return false;
    GetICCard(frame, single, unused, data);
    return true;
}
