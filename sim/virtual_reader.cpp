// SPDX-License-Identifier: LGPL-2.1-or-later
// The virtual reader: security module and controller behind four bulk endpoints.
#include "virtual_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vsim {
namespace {

constexpr size_t kSamMinFrameBytes = 8; // preamble, length, check byte
constexpr size_t kCommandLength = 3;    // command, parameter, check byte
constexpr size_t kStatusBytes = 3;      // card status (2) and module status of an answer
constexpr uint8_t kDamagedPreambleByte = 0x55;
constexpr uint8_t kCheckByteDamage = 0xFF;
constexpr size_t kSelectAnswerZeros = 8;
constexpr size_t kFindAnswerZeros = 4;
constexpr size_t kSelectPayloadOffset = 3; // after the three status bytes
constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr uint8_t kMcuStart = 0xAA;
constexpr size_t kMcuMaxFrameBytes = 64; // longer "frames" on the serial side are noise
constexpr uint8_t kMcuEventCommand = 0x03;
constexpr uint8_t kMcuClass5Command = 0x01;

// The read answer's data after its status: text length 256 and photo length
// 1024, both big-endian.
constexpr uint8_t kReadLengths[4] = {0x01, 0x00, 0x04, 0x00};

struct EventClass {
    int frame_class;
    size_t total;
    uint8_t kind; // byte 4 of a command-03 frame
};
constexpr EventClass kEventClasses[] = {
    {5, 26, 0x00}, {1, 12, 0x01}, {4, 41, 0x02}, {3, 39, 0x03}, {2, 25, 0x04},
};
constexpr size_t kClass5DataOffset = 5;
constexpr size_t kEventSingleOffset = 6;
constexpr size_t kEventCountOffset = 7;
constexpr size_t kEventDataOffset = 8;

const EventClass *find_event_class(int frame_class)
{
    for (const EventClass &c : kEventClasses) {
        if (c.frame_class == frame_class)
            return &c;
    }
    return nullptr;
}

std::string ep_text(uint8_t ep)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02X", ep);
    return text;
}

bool same6(const uint8_t *frame, const std::array<uint8_t, 6> &known)
{
    return std::memcmp(frame, known.data(), known.size()) == 0;
}

bool is_command(const std::vector<uint8_t> &frame, const uint8_t (&cmd)[2])
{
    return frame[7] == cmd[0] && frame[8] == cmd[1];
}

} // namespace

std::string hex_bytes(const uint8_t *data, size_t len)
{
    std::string out;
    out.reserve(len * 3);
    char two[4];
    for (size_t i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", data[i]);
        out += two;
    }
    return out;
}

// --- Frames ------------------------------------------------------------------------

uint8_t sam_check_byte(const uint8_t *frame, size_t len)
{
    uint8_t x = 0;
    for (size_t i = kSamLengthOffset; i < len; ++i)
        x ^= frame[i];
    return x;
}

std::vector<uint8_t> sam_frame(const std::vector<uint8_t> &contents)
{
    std::vector<uint8_t> frame(kSamPreamble.begin(), kSamPreamble.end());
    const size_t length = contents.size() + 1;
    frame.push_back(static_cast<uint8_t>(length >> 8));
    frame.push_back(static_cast<uint8_t>(length & 0xFF));
    frame.insert(frame.end(), contents.begin(), contents.end());
    frame.push_back(sam_check_byte(frame.data(), frame.size()));
    return frame;
}

bool sam_frame_valid(const uint8_t *frame, size_t len)
{
    if (frame == nullptr || len < kSamMinFrameBytes)
        return false;
    if (std::memcmp(frame, kSamPreamble.data(), kSamPreamble.size()) != 0)
        return false;
    const size_t length = static_cast<size_t>(frame[5]) << 8 | frame[6];
    if (length != len - kHeaderStageBytes)
        return false;
    return frame[len - 1] == sam_check_byte(frame, len - 1);
}

bool sam_frame_valid(const std::vector<uint8_t> &frame)
{
    return sam_frame_valid(frame.data(), frame.size());
}

uint8_t mcu_check_byte(const uint8_t *frame, size_t len)
{
    uint8_t x = 0;
    for (size_t i = 1; i < len; ++i)
        x ^= frame[i];
    return x;
}

std::vector<uint8_t> mcu_status_frame()
{
    std::vector<uint8_t> frame = {kMcuStart, 0x00, 0x05, 0x00, 0x00, kSamOk, 0x00};
    frame.push_back(mcu_check_byte(frame.data(), frame.size()));
    return frame;
}

int event_data_bytes(int frame_class)
{
    const EventClass *c = find_event_class(frame_class);
    if (c == nullptr)
        return -1;
    if (c->frame_class == 5)
        return static_cast<int>(c->total - kClass5DataOffset - 1);
    return static_cast<int>(c->total - kEventDataOffset - 1);
}

std::vector<uint8_t> event_frame(int frame_class, uint8_t single, const std::vector<uint8_t> &data)
{
    const EventClass *c = find_event_class(frame_class);
    if (c == nullptr || static_cast<int>(data.size()) > event_data_bytes(frame_class))
        return {};
    std::vector<uint8_t> frame(c->total, 0);
    frame[0] = kMcuStart;
    frame[1] = static_cast<uint8_t>((c->total - 3) >> 8);
    frame[2] = static_cast<uint8_t>((c->total - 3) & 0xFF);
    size_t data_at = kEventDataOffset;
    if (c->frame_class == 5) {
        frame[3] = kMcuClass5Command;
        frame[4] = single;
        data_at = kClass5DataOffset;
    } else {
        frame[3] = kMcuEventCommand;
        frame[4] = c->kind;
        frame[kEventSingleOffset] = single;
        frame[kEventCountOffset] = static_cast<uint8_t>(event_data_bytes(frame_class));
    }
    std::copy(data.begin(), data.end(), frame.begin() + static_cast<long>(data_at));
    frame.back() = mcu_check_byte(frame.data(), frame.size() - 1);
    return frame;
}

const char *usb_status_name(UsbStatus s)
{
    switch (s) {
    case UsbStatus::Ok:
        return "ok";
    case UsbStatus::NothingReady:
        return "nothing ready";
    case UsbStatus::Timeout:
        return "timeout";
    case UsbStatus::Stall:
        return "stall";
    case UsbStatus::NoDevice:
        return "no device";
    case UsbStatus::IoError:
        return "i/o error";
    case UsbStatus::Access:
        return "access denied";
    case UsbStatus::Busy:
        return "busy";
    case UsbStatus::NotFound:
        return "not found";
    case UsbStatus::Overflow:
        return "overflow";
    case UsbStatus::InvalidParam:
        return "invalid parameter";
    }
    return "?";
}

int Counters::out_on(uint8_t ep) const
{
    return out_by_ep[ep & 0x0F];
}
int Counters::in_on(uint8_t ep) const
{
    return in_by_ep[ep & 0x0F];
}

// --- The reader ----------------------------------------------------------------------

VirtualReader::VirtualReader() = default;

VirtualReader::VirtualReader(const CardFields &card)
{
    insert_card(card);
}

void VirtualReader::insert_card(const CardFields &card)
{
    remove_card();
    if (knobs_.card_arrives_after_finds > 0) {
        pending_card_ = card;
        finds_while_pending_ = 0;
    } else {
        card_ = card;
    }
}

void VirtualReader::remove_card()
{
    card_.reset();
    pending_card_.reset();
    forget_session();
    exhausted_ = false;
    finds_with_card_ = 0;
}

bool VirtualReader::has_card() const
{
    return card_.has_value();
}

const CardFields *VirtualReader::card() const
{
    return card_ ? &*card_ : nullptr;
}

void VirtualReader::forget_session()
{
    found_ = false;
    selected_ = false;
}

void VirtualReader::unplug()
{
    present_ = false;
    clear_usb_state();
}

void VirtualReader::replug()
{
    present_ = true;
    clear_usb_state();
    configuration_ = kConfiguration;
    claimed_ = false;
    driver_detached_ = false;
}

bool VirtualReader::present() const
{
    return present_;
}

void VirtualReader::clear_usb_state()
{
    halted_.fill(false);
    pending_header_.reset();
    header_in_.clear();
    body_in_.clear();
}

// --- Log -----------------------------------------------------------------------------

void VirtualReader::log_line(uint64_t now_us, const std::string &text)
{
    if (!keep_log_ && !sink_)
        return;
    const std::string line = "t=" + std::to_string(now_us) + " " + text;
    if (keep_log_)
        log_.push_back(line);
    if (sink_)
        sink_(line);
}

void VirtualReader::log_stage(uint64_t now_us, const char *dir, uint8_t ep, const uint8_t *data,
                              int len, const char *note)
{
    if (!keep_log_ && !sink_)
        return;
    std::string text = std::string(dir) + " " + ep_text(ep);
    if (len >= 0)
        text += " [" + std::to_string(len) + "]";
    if (len > 0)
        text += " " + hex_bytes(data, static_cast<size_t>(len));
    if (note != nullptr)
        text += std::string(" ") + note;
    log_line(now_us, text);
}

// --- Transfers -----------------------------------------------------------------------

bool VirtualReader::fault_hits(const EndpointFault &f, uint8_t ep, int count) const
{
    return f.ep != 0 && f.ep == ep && (f.nth == 0 || f.nth == count);
}

void VirtualReader::after_transfer()
{
    ++transfers_;
    if (knobs_.unplug_after_transfers > 0 && transfers_ == knobs_.unplug_after_transfers)
        unplug();
}

std::deque<VirtualReader::Stage> *VirtualReader::queue_for(uint8_t ep)
{
    if (ep == kEpHeaderIn)
        return &header_in_;
    if (ep == kEpBodyIn)
        return &body_in_;
    return nullptr;
}

const std::deque<VirtualReader::Stage> *VirtualReader::queue_for(uint8_t ep) const
{
    return const_cast<VirtualReader *>(this)->queue_for(ep);
}

UsbStatus VirtualReader::out_transfer(uint8_t ep, const uint8_t *data, int len, uint64_t now_us)
{
    if (!present_) {
        log_stage(now_us, "OUT", ep, data, -1, "no device");
        return UsbStatus::NoDevice;
    }
    if (ep != kEpHeaderOut && ep != kEpBodyOut) {
        log_stage(now_us, "OUT", ep, data, -1, "no such endpoint");
        return UsbStatus::NotFound;
    }
    if (len < 0 || (len > 0 && data == nullptr))
        return UsbStatus::InvalidParam;

    ++counters_.out_transfers;
    const int nth = ++counters_.out_by_ep[ep & 0x0F];
    const bool mcu_write = ep == kEpHeaderOut && len == static_cast<int>(kMcuCommandBytes);
    UsbStatus result = UsbStatus::Ok;
    if (halted_[ep & 0x0F]) {
        result = UsbStatus::Stall;
        log_stage(now_us, "OUT", ep, data, len, "stall (halted)");
    } else if (fault_hits(knobs_.out_stall, ep, nth)) {
        halted_[ep & 0x0F] = knobs_.stall_sticks;
        result = UsbStatus::Stall;
        log_stage(now_us, "OUT", ep, data, len, "stall (fault)");
    } else if (mcu_write &&
               (knobs_.mcu_write_stalls < 0 || mcu_writes_stalled_ < knobs_.mcu_write_stalls)) {
        ++mcu_writes_stalled_;
        result = UsbStatus::Stall;
        log_stage(now_us, "OUT", ep, data, len, "stall (controller fault)");
    } else {
        log_stage(now_us, "OUT", ep, data, len);
        if (mcu_write) {
            std::optional<std::vector<uint8_t>> reply = handle_mcu(data, now_us);
            if (reply)
                queue_message(std::move(*reply), now_us + knobs_.answer_delay_us, true);
        } else if (ep == kEpHeaderOut)
            take_header(data, len, now_us);
        else
            take_body(data, len, now_us);
    }
    after_transfer();
    return result;
}

UsbStatus VirtualReader::in_transfer(uint8_t ep, uint8_t *buf, int capacity, int *transferred,
                                     uint64_t now_us)
{
    int ignored = 0;
    int &done = transferred != nullptr ? *transferred : ignored;
    done = 0;
    if (!present_) {
        log_stage(now_us, "IN", ep, nullptr, -1, "no device");
        return UsbStatus::NoDevice;
    }
    std::deque<Stage> *queue = queue_for(ep);
    if (queue == nullptr) {
        log_stage(now_us, "IN", ep, nullptr, -1, "no such endpoint");
        return UsbStatus::NotFound;
    }
    if (capacity < 0 || (capacity > 0 && buf == nullptr))
        return UsbStatus::InvalidParam;

    const bool always_times_out = knobs_.in_timeout.ep == ep && knobs_.in_timeout.nth == 0;
    const bool ready = !queue->empty() && queue->front().ready_at <= now_us;
    if (!ready && !always_times_out)
        return UsbStatus::NothingReady;

    ++counters_.in_transfers;
    const int nth = ++counters_.in_by_ep[ep & 0x0F];
    if (fault_hits(knobs_.in_timeout, ep, nth)) {
        log_stage(now_us, "IN", ep, nullptr, -1, "timeout (fault)");
        after_transfer();
        return UsbStatus::Timeout;
    }

    Stage stage = queue->front();
    queue->pop_front();
    // Pieces of one answer that have come by now leave in the same transfer,
    // as a bulk transfer goes on while the device has full packets for it.
    while (stage.more && !queue->empty() && queue->front().ready_at <= now_us &&
           stage.bytes.size() + queue->front().bytes.size() <= static_cast<size_t>(capacity)) {
        stage.bytes.insert(stage.bytes.end(), queue->front().bytes.begin(),
                           queue->front().bytes.end());
        stage.more = queue->front().more;
        queue->pop_front();
    }
    const int size = static_cast<int>(stage.bytes.size());
    UsbStatus result = UsbStatus::Ok;
    const char *note = nullptr;
    if (fault_hits(knobs_.in_partial, ep, nth)) {
        done = std::min({knobs_.in_partial_bytes, size, capacity});
        result = UsbStatus::Timeout;
        note = "partial, then timeout (fault)";
    } else if (size > capacity) {
        done = capacity;
        result = UsbStatus::Overflow;
        note = "overflow";
    } else {
        done = size;
    }
    if (done > 0)
        std::memcpy(buf, stage.bytes.data(), static_cast<size_t>(done));
    log_stage(now_us, "IN", ep, stage.bytes.data(), done, note);
    after_transfer();
    return result;
}

std::optional<uint64_t> VirtualReader::ready_at_us(uint8_t ep) const
{
    const std::deque<Stage> *queue = queue_for(ep);
    if (!present_ || queue == nullptr || queue->empty())
        return std::nullopt;
    return queue->front().ready_at;
}

void VirtualReader::queue_message(std::vector<uint8_t> frame, uint64_t ready_at, bool answer)
{
    const size_t split = std::min(frame.size(), kHeaderStageBytes);
    const auto cut = frame.begin() + static_cast<long>(split);
    header_in_.push_back({std::vector<uint8_t>(frame.begin(), cut), ready_at, answer});
    body_in_.push_back({std::vector<uint8_t>(cut, frame.end()), ready_at, answer});
}

void VirtualReader::queue_in_pieces(const std::vector<uint8_t> &frame, uint64_t now_us,
                                    uint64_t ready_at)
{
    const size_t pieces = static_cast<size_t>(knobs_.read_pieces);
    const size_t piece_bytes = (frame.size() + pieces - 1) / pieces;
    const uint64_t spread = ready_at > now_us ? ready_at - now_us : 0;
    const auto piece_ready = [&](size_t end) {
        const size_t piece = (end + piece_bytes - 1) / piece_bytes; // 1-based, holds byte end - 1
        return now_us + spread * piece / pieces;
    };
    const size_t split = std::min(frame.size(), kHeaderStageBytes);
    header_in_.push_back(
        {std::vector<uint8_t>(frame.begin(), frame.begin() + static_cast<long>(split)),
         piece_ready(split), true});
    for (size_t at = split; at < frame.size();) {
        const size_t end = std::min(frame.size(), (at / piece_bytes + 1) * piece_bytes);
        body_in_.push_back({std::vector<uint8_t>(frame.begin() + static_cast<long>(at),
                                                 frame.begin() + static_cast<long>(end)),
                            piece_ready(end), true, end < frame.size()});
        at = end;
    }
    log_line(now_us, "read answer in " + std::to_string(pieces) + " pieces");
}

void VirtualReader::discard_answers()
{
    const auto is_answer = [](const Stage &s) { return s.answer; };
    header_in_.erase(std::remove_if(header_in_.begin(), header_in_.end(), is_answer),
                     header_in_.end());
    body_in_.erase(std::remove_if(body_in_.begin(), body_in_.end(), is_answer), body_in_.end());
}

// --- Security module -----------------------------------------------------------------

void VirtualReader::take_header(const uint8_t *data, int len, uint64_t now_us)
{
    if (pending_header_) {
        ++counters_.frames_rejected; // a header that never got its body
        log_line(now_us, "SAM header without body dropped");
    }
    pending_header_.reset();
    if (len != static_cast<int>(kHeaderStageBytes) ||
        std::memcmp(data, kSamPreamble.data(), kSamPreamble.size()) != 0) {
        ++counters_.frames_rejected;
        log_line(now_us, "SAM header rejected");
        return;
    }
    pending_header_ = std::vector<uint8_t>(data, data + len);
}

void VirtualReader::take_body(const uint8_t *data, int len, uint64_t now_us)
{
    if (!pending_header_) {
        ++counters_.frames_rejected;
        log_line(now_us, "SAM body without header dropped");
        return;
    }
    std::vector<uint8_t> frame = std::move(*pending_header_);
    pending_header_.reset();
    frame.insert(frame.end(), data, data + len);
    handle_command(frame, now_us);
}

void VirtualReader::handle_command(const std::vector<uint8_t> &frame, uint64_t now_us)
{
    discard_answers();
    const bool has_command = frame.size() > kHeaderStageBytes + 1;
    command_[0] = has_command ? frame[7] : 0;
    command_[1] = has_command ? frame[8] : 0;
    const size_t length = static_cast<size_t>(frame[5]) << 8 | frame[6];
    if (length != frame.size() - kHeaderStageBytes || length < kCommandLength) {
        ++counters_.frames_rejected;
        answer_status(kSamBadLength, now_us);
        return;
    }
    if (frame.back() != sam_check_byte(frame.data(), frame.size() - 1)) {
        ++counters_.frames_rejected;
        answer_status(kSamBadCheck, now_us);
        return;
    }
    const bool refused =
        (is_command(frame, kCmdReadWithFingerprints) && knobs_.refuse_fingerprint_read) ||
        (is_command(frame, kCmdReadAppendedAddress) && knobs_.refuse_appended_address);
    const bool known = is_command(frame, kCmdReset) || is_command(frame, kCmdStatus) ||
                       is_command(frame, kCmdModuleId) || is_command(frame, kCmdFind) ||
                       is_command(frame, kCmdSelect) || is_command(frame, kCmdRead) ||
                       is_command(frame, kCmdReadWithFingerprints) ||
                       is_command(frame, kCmdReadAppendedAddress);
    if (!known || refused) {
        ++counters_.unknown_command;
        answer_status(kSamUnknownCommand, now_us);
        return;
    }
    if (is_command(frame, kCmdReadWithFingerprints) && knobs_.ignore_fingerprint_read) {
        ++counters_.read_with_fingerprints;
        log_line(now_us, "30 10 left unanswered");
        return;
    }
    if (length != kCommandLength) { // none of these commands carries data
        ++counters_.frames_rejected;
        answer_status(kSamBadLength, now_us);
        return;
    }

    if (is_command(frame, kCmdReset)) {
        ++counters_.reset;
        forget_session();
        answer_status(kSamOk, now_us);
    } else if (is_command(frame, kCmdStatus)) {
        ++counters_.status;
        answer_status(kSamOk, now_us);
    } else if (is_command(frame, kCmdModuleId)) {
        ++counters_.module_id;
        std::vector<uint8_t> contents(kStatusBytes + kModuleIdBytes, 0x00);
        contents[kStatusBytes - 1] = kSamOk;
        std::copy(knobs_.module_id.begin(), knobs_.module_id.end(),
                  contents.begin() + kStatusBytes);
        answer(contents, answer_due(now_us, knobs_.answer_delay_us));
    } else if (is_command(frame, kCmdFind)) {
        ++counters_.find;
        do_find(now_us);
    } else if (is_command(frame, kCmdSelect)) {
        ++counters_.select;
        do_select(now_us);
    } else if (is_command(frame, kCmdReadWithFingerprints)) {
        ++counters_.read_with_fingerprints;
        do_read(now_us, true);
    } else if (is_command(frame, kCmdReadAppendedAddress)) {
        ++counters_.read_appended_address;
        do_read_appended_address(now_us);
    } else {
        ++counters_.read;
        do_read(now_us, false);
    }
}

void VirtualReader::apply_damage(std::vector<uint8_t> &frame) const
{
    if (knobs_.damage_check_byte)
        frame.back() ^= kCheckByteDamage;
    if (knobs_.damage_preamble)
        frame[0] = kDamagedPreambleByte;
}

uint64_t VirtualReader::answer_due(uint64_t now_us, uint64_t own_delay_us) const
{
    std::optional<uint64_t> recorded;
    if (knobs_.profile)
        recorded = knobs_.profile->next_delay_us(command_);
    return now_us + (recorded ? *recorded : own_delay_us);
}

void VirtualReader::answer(const std::vector<uint8_t> &contents, uint64_t ready_at)
{
    // The card's data stay the model's: a profile shapes no read answer.
    const bool card_data = command_[0] == kCmdRead[0];
    std::vector<uint8_t> frame = sam_frame(
        knobs_.profile && !card_data ? knobs_.profile->shape(command_, contents) : contents);
    apply_damage(frame);
    queue_message(std::move(frame), ready_at, true);
}

void VirtualReader::answer_status(uint8_t status, uint64_t now_us)
{
    answer({0x00, 0x00, status}, answer_due(now_us, knobs_.answer_delay_us));
}

void VirtualReader::do_find(uint64_t now_us)
{
    if (pending_card_) {
        if (finds_while_pending_ < knobs_.card_arrives_after_finds) {
            ++finds_while_pending_;
            answer_status(kSamNoCard, now_us);
            return;
        }
        card_ = std::move(pending_card_);
        pending_card_.reset();
    }
    if (!card_) {
        answer_status(kSamNoCard, now_us);
        return;
    }
    if (exhausted_ && !knobs_.refind_after_read) {
        answer_status(kSamNoCard, now_us);
    } else {
        found_ = true;
        selected_ = false;
        std::vector<uint8_t> contents = {0x00, 0x00, kSamFound};
        contents.resize(contents.size() + kFindAnswerZeros, 0x00);
        answer(contents, answer_due(now_us, knobs_.answer_delay_us));
    }
    ++finds_with_card_;
    if (knobs_.card_leaves_after_finds > 0 && finds_with_card_ == knobs_.card_leaves_after_finds) {
        log_line(now_us, "card lifted");
        remove_card();
    }
}

void VirtualReader::do_select(uint64_t now_us)
{
    if (!card_ || !found_) {
        answer_status(kSamSelectFailed, now_us);
        return;
    }
    if (knobs_.select_fails < 0 || selects_failed_ < knobs_.select_fails) {
        ++selects_failed_;
        answer_status(kSamSelectFailed, now_us);
        return;
    }
    selected_ = true;
    std::vector<uint8_t> contents = {0x00, 0x00, kSamOk};
    contents.resize(contents.size() + kSelectAnswerZeros, 0x00);
    if (knobs_.select_names_card) {
        // The card's own bytes: an FNV-1a hash of its text block, the same
        // every time for one card and another for the next.
        const std::array<uint8_t, kTextBlockBytes> text = build_text_block(*card_);
        uint64_t name = kFnvOffsetBasis;
        for (const uint8_t byte : text)
            name = (name ^ byte) * kFnvPrime;
        for (size_t i = 0; i < kSelectAnswerZeros; ++i)
            contents[kSelectPayloadOffset + i] = static_cast<uint8_t>(name >> (8 * i));
    }
    answer(contents, answer_due(now_us, knobs_.answer_delay_us));
}

void VirtualReader::do_read(uint64_t now_us, bool with_fingerprints)
{
    if (!card_ || !selected_) {
        answer_status(kSamReadFailed, now_us);
        return;
    }
    std::vector<uint8_t> templates;
    for (const std::vector<uint8_t> &t : card_->fingerprints) {
        if (templates.size() < kFingerprintsMax * kFingerprintBytes)
            templates.insert(templates.end(), t.begin(), t.end());
    }
    std::vector<uint8_t> contents = {0x00, 0x00, kSamOk};
    contents.insert(contents.end(), std::begin(kReadLengths), std::end(kReadLengths));
    if (with_fingerprints) {
        contents.push_back(static_cast<uint8_t>(templates.size() >> 8));
        contents.push_back(static_cast<uint8_t>(templates.size() & 0xFF));
    }
    const std::array<uint8_t, kTextBlockBytes> text = build_text_block(*card_);
    contents.insert(contents.end(), text.begin(), text.end());
    std::vector<uint8_t> photo = card_->photo;
    photo.resize(kPhotoBytes, 0x00);
    contents.insert(contents.end(), photo.begin(), photo.end());
    if (with_fingerprints)
        contents.insert(contents.end(), templates.begin(), templates.end());

    std::vector<uint8_t> frame = sam_frame(contents);
    if (knobs_.read_length_field >= 0) {
        frame[5] = static_cast<uint8_t>(knobs_.read_length_field >> 8);
        frame[6] = static_cast<uint8_t>(knobs_.read_length_field & 0xFF);
        frame.back() = sam_check_byte(frame.data(), frame.size() - 1);
    }
    apply_damage(frame);
    if (knobs_.read_answer_body_bytes >= 0) {
        const size_t body = std::min(static_cast<size_t>(knobs_.read_answer_body_bytes),
                                     frame.size() - kHeaderStageBytes);
        frame.resize(kHeaderStageBytes + body);
    }
    frame.insert(frame.end(), static_cast<size_t>(std::max(knobs_.read_answer_extra_bytes, 0)),
                 0x00);
    const uint64_t ready_at = answer_due(now_us, knobs_.read_delay_us);
    if (knobs_.read_pieces > 1)
        queue_in_pieces(frame, now_us, ready_at);
    else
        queue_message(std::move(frame), ready_at, true);
    exhausted_ = true;
    forget_session();
}

// The newest appended address of a card that has been selected or read
// since it was presented: 90 and its 70 bytes, or 91 for a card without one.
void VirtualReader::do_read_appended_address(uint64_t now_us)
{
    if (!card_ || (!selected_ && !exhausted_)) {
        answer_status(kSamReadFailed, now_us);
        return;
    }
    if (card_->appended_address.empty()) {
        answer_status(kSamNoSuchItem, now_us);
        return;
    }
    std::vector<uint8_t> contents = {0x00, 0x00, kSamOk};
    const std::array<uint8_t, kAppendedAddressBytes> address = build_appended_address(*card_);
    contents.insert(contents.end(), address.begin(), address.end());
    answer(contents, answer_due(now_us, knobs_.answer_delay_us));
}

// --- Device requests -----------------------------------------------------------------

UsbStatus VirtualReader::set_configuration(int configuration)
{
    if (!present_)
        return UsbStatus::NoDevice;
    if (knobs_.set_configuration_error != UsbStatus::Ok)
        return knobs_.set_configuration_error;
    if (claimed_)
        return UsbStatus::Busy;
    if (configuration != kConfiguration && configuration != -1) // -1: unconfigured
        return UsbStatus::NotFound;
    configuration_ = configuration < 0 ? 0 : configuration;
    return UsbStatus::Ok;
}

UsbStatus VirtualReader::get_configuration(int *configuration) const
{
    if (!present_)
        return UsbStatus::NoDevice;
    if (configuration != nullptr)
        *configuration = configuration_;
    return UsbStatus::Ok;
}

UsbStatus VirtualReader::interface_status(int iface) const
{
    if (!present_)
        return UsbStatus::NoDevice;
    return iface == kInterface ? UsbStatus::Ok : UsbStatus::NotFound;
}

UsbStatus VirtualReader::claim_interface(int iface)
{
    const UsbStatus reached = interface_status(iface);
    if (reached != UsbStatus::Ok)
        return reached;
    if (knobs_.claim_error != UsbStatus::Ok)
        return knobs_.claim_error;
    if (knobs_.kernel_driver_active && !driver_detached_)
        return UsbStatus::Busy;
    claimed_ = true;
    return UsbStatus::Ok;
}

UsbStatus VirtualReader::release_interface(int iface)
{
    const UsbStatus reached = interface_status(iface);
    if (reached != UsbStatus::Ok)
        return reached;
    if (!claimed_)
        return UsbStatus::NotFound;
    claimed_ = false;
    return UsbStatus::Ok;
}

UsbStatus VirtualReader::kernel_driver_active(int iface, bool *active) const
{
    const UsbStatus reached = interface_status(iface);
    if (reached != UsbStatus::Ok)
        return reached;
    if (active != nullptr)
        *active = knobs_.kernel_driver_active && !driver_detached_;
    return UsbStatus::Ok;
}

UsbStatus VirtualReader::detach_kernel_driver(int iface)
{
    const UsbStatus reached = interface_status(iface);
    if (reached != UsbStatus::Ok)
        return reached;
    if (!knobs_.kernel_driver_active || driver_detached_)
        return UsbStatus::NotFound;
    driver_detached_ = true;
    return UsbStatus::Ok;
}

UsbStatus VirtualReader::clear_halt(uint8_t ep)
{
    if (!present_)
        return UsbStatus::NoDevice;
    if (ep != kEpHeaderOut && ep != kEpBodyOut && ep != kEpHeaderIn && ep != kEpBodyIn)
        return UsbStatus::NotFound;
    ++counters_.clear_halts;
    halted_[ep & 0x0F] = false;
    return UsbStatus::Ok;
}

UsbStatus VirtualReader::reset_device(uint64_t now_us)
{
    if (!present_)
        return UsbStatus::NoDevice;
    ++counters_.device_resets;
    clear_usb_state();
    forget_session();
    log_line(now_us, "device reset");
    return UsbStatus::Ok;
}

// --- Controller ----------------------------------------------------------------------

bool VirtualReader::mcu_answers_probe() const
{
    if (knobs_.controller_silent)
        return false;
    return knobs_.controller_answers_probe == 0 ||
           counters_.probes == knobs_.controller_answers_probe;
}

std::optional<std::vector<uint8_t>> VirtualReader::handle_mcu(const uint8_t *frame, uint64_t now_us)
{
    discard_answers();
    bool answered = false;
    if (same6(frame, kMcuProbe)) {
        ++counters_.probes;
        answered = mcu_answers_probe();
    } else if (same6(frame, kMcuRestart)) {
        ++counters_.restarts;
        answered = !knobs_.controller_silent;
    } else {
        ++counters_.mcu_rejected;
        log_line(now_us, "controller frame rejected");
    }
    if (!answered)
        return std::nullopt;
    return mcu_status_frame();
}

bool VirtualReader::emit_event(int frame_class, uint8_t single, const std::vector<uint8_t> &data,
                               uint64_t now_us)
{
    std::vector<uint8_t> frame = event_frame(frame_class, single, data);
    if (frame.empty())
        return false;
    ++counters_.events_sent;
    log_line(now_us, "event class " + std::to_string(frame_class) + " queued");
    queue_message(std::move(frame), now_us, false);
    return true;
}

std::vector<uint8_t> VirtualReader::serial_write(const uint8_t *data, int len, uint64_t now_us)
{
    std::vector<uint8_t> reply;
    if (data == nullptr || len <= 0)
        return reply;
    log_line(now_us,
             "SER in [" + std::to_string(len) + "] " + hex_bytes(data, static_cast<size_t>(len)));
    serial_rx_.insert(serial_rx_.end(), data, data + len);
    for (;;) {
        const auto start = std::find(serial_rx_.begin(), serial_rx_.end(), kMcuStart);
        serial_rx_.erase(serial_rx_.begin(), start); // noise before a start byte
        if (serial_rx_.size() < 3)
            break;
        const size_t total = 3 + (static_cast<size_t>(serial_rx_[1]) << 8 | serial_rx_[2]);
        if (total > kMcuMaxFrameBytes) {
            serial_rx_.erase(serial_rx_.begin());
            continue;
        }
        if (serial_rx_.size() < total)
            break;
        if (total == kMcuCommandBytes) {
            const std::optional<std::vector<uint8_t>> answer =
                handle_mcu(serial_rx_.data(), now_us);
            if (answer)
                reply.insert(reply.end(), answer->begin(), answer->end());
        } else {
            ++counters_.mcu_rejected;
        }
        serial_rx_.erase(serial_rx_.begin(), serial_rx_.begin() + static_cast<long>(total));
    }
    if (!reply.empty())
        log_line(now_us, "SER out [" + std::to_string(reply.size()) + "] " +
                             hex_bytes(reply.data(), reply.size()));
    return reply;
}

} // namespace vsim
