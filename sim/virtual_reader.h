// SPDX-License-Identifier: LGPL-2.1-or-later
// A software model of the USB card reader: its security module (SAM frames)
// and its controller (MCU frames) behind four bulk endpoints.
//
// The model builds and judges frames from its own description of the reader;
// it shares no code with the library it is used to test. It does no I/O,
// starts no threads and is deterministic: every entry point that depends on
// time takes `now_us`, a monotonic microsecond clock owned by the caller.
//
// Traffic as the reader sees it:
//  - a SAM command arrives as a 7-byte header stage on 0x02 (preamble and
//    length) and a body stage on 0x06 (the rest, possibly 0 bytes);
//  - a controller frame arrives as one transfer of exactly its 6 bytes on
//    0x02, with no body stage;
//  - every answer and event goes out split: its first 7 bytes on 0x81, the
//    rest on 0x85. Each IN endpoint is its own queue, so a host that misses a
//    header stage still gets the body from 0x85.
//  - a new command (SAM or controller) discards answers not yet read, from
//    both IN endpoints; queued event frames stay.
#ifndef VSIM_VIRTUAL_READER_H
#define VSIM_VIRTUAL_READER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card.h"

namespace vsim {

// --- The reader on the bus ---------------------------------------------------
constexpr uint16_t kVendorId = 0x0400;
constexpr uint16_t kProductId = 0xC35A;
constexpr int kConfiguration = 1;
constexpr int kInterface = 0;
constexpr uint8_t kEpHeaderOut = 0x02;
constexpr uint8_t kEpBodyOut = 0x06;
constexpr uint8_t kEpHeaderIn = 0x81;
constexpr uint8_t kEpBodyIn = 0x85;
constexpr size_t kHeaderStageBytes = 7;

// --- SAM frames ----------------------------------------------------------------
// AA AA AA 96 69, a big-endian length of the bytes after it (check byte
// included), the contents, and an XOR check byte over everything from the
// length's high byte to the byte before the check byte.
constexpr std::array<uint8_t, 5> kSamPreamble = {0xAA, 0xAA, 0xAA, 0x96, 0x69};
constexpr size_t kSamLengthOffset = 5;
constexpr size_t kSamStatusOffset = 9; // the module's own status byte

// Module status codes (offset 9 of an answer).
constexpr uint8_t kSamOk = 0x90;
constexpr uint8_t kSamFound = 0x9F;
constexpr uint8_t kSamBadCheck = 0x10;
constexpr uint8_t kSamBadLength = 0x11;
constexpr uint8_t kSamUnknownCommand = 0x21;
constexpr uint8_t kSamReadFailed = 0x41;
constexpr uint8_t kSamNoCard = 0x80;
constexpr uint8_t kSamSelectFailed = 0x81;
constexpr uint8_t kSamNoSuchItem = 0x91; // e.g. a card without an appended address

// Commands: command byte, parameter byte.
constexpr uint8_t kCmdReset[2] = {0x10, 0xFF};
constexpr uint8_t kCmdStatus[2] = {0x11, 0xFF};
constexpr uint8_t kCmdModuleId[2] = {0x12, 0xFF};
constexpr uint8_t kCmdFind[2] = {0x20, 0x01};
constexpr uint8_t kCmdSelect[2] = {0x20, 0x02};
constexpr uint8_t kCmdRead[2] = {0x30, 0x01};
constexpr uint8_t kCmdReadWithFingerprints[2] = {0x30, 0x10};
constexpr uint8_t kCmdReadAppendedAddress[2] = {0x30, 0x03};

// The read answer: length 05 08, 1295 bytes in all.
constexpr uint16_t kReadAnswerLength = 0x0508;
constexpr size_t kReadAnswerBytes = 1295;
constexpr size_t kReadTextOffset = 14;
constexpr size_t kReadPhotoOffset = 270;
constexpr size_t kModuleIdBytes = 16;
// The read with fingerprints: three lengths, then text, photo and 0, 512 or
// 1024 bytes of templates: 1297, 1809 or 2321 bytes in all.
constexpr size_t kReadWithFingerprintsBaseBytes = 1297;

// XOR of frame[5] .. frame[len - 1]: the check byte of a frame whose first
// `len` bytes are given (the check byte itself not among them).
uint8_t sam_check_byte(const uint8_t *frame, size_t len);
// Bytes as upper-case hex pairs between blanks ("AA 96 69"), as the
// model's log and the test bus's show them.
std::string hex_bytes(const uint8_t *data, size_t len);
// A whole frame around `contents` (command and parameter, or status and data).
std::vector<uint8_t> sam_frame(const std::vector<uint8_t> &contents);
// Preamble right, length field equal to the bytes after it, check byte right.
bool sam_frame_valid(const uint8_t *frame, size_t len);
bool sam_frame_valid(const std::vector<uint8_t> &frame);

// --- Controller (MCU) frames -----------------------------------------------------
// AA, a big-endian length of the bytes from offset 3 on, command, parameter,
// further bytes; the last byte is the XOR of bytes 1 .. n-2.
constexpr size_t kMcuCommandBytes = 6;
constexpr std::array<uint8_t, 6> kMcuProbe = {0xAA, 0x00, 0x03, 0x00, 0x00, 0x03};
constexpr std::array<uint8_t, 6> kMcuRestart = {0xAA, 0x00, 0x03, 0xF0, 0x00, 0xF3};
// The controller's answer to a probe or a restart: AA 00 05 00 00 90 00 95.
std::vector<uint8_t> mcu_status_frame();
uint8_t mcu_check_byte(const uint8_t *frame, size_t len);

// Event frames the controller sends on its own, by class:
//   5: 26 bytes, AA 00 17 01 <single> then 20 data bytes, check byte;
//   1: 12 bytes, command 03 kind 01, 3 data bytes;
//   4: 41 bytes, command 03 kind 02, 32 data bytes;
//   3: 39 bytes, command 03 kind 03, 30 data bytes;
//   2: 25 bytes, command 03 kind 04, 16 data bytes.
// Command-03 frames: AA, length, 03, kind, 00, <single>, N, N data bytes,
// check byte. `data` shorter than the class's N is padded with zeros.
// Returns an empty vector for an unknown class or `data` longer than N.
std::vector<uint8_t> event_frame(int frame_class, uint8_t single, const std::vector<uint8_t> &data);
// N for a class (20 for class 5), or -1.
int event_data_bytes(int frame_class);

// --- Results of a transfer or a device request -----------------------------------
enum class UsbStatus {
    Ok,
    NothingReady, // an IN found nothing to deliver yet; a bus waits (ready_at_us) or times out
    Timeout,      // a fault ended the IN: the bus lets the transfer run into its timeout
    Stall,        // endpoint halted (libusb: PIPE)
    NoDevice,     // unplugged
    IoError,
    Access,
    Busy,
    NotFound,
    Overflow, // the stage held more bytes than the host asked for
    InvalidParam,
};
const char *usb_status_name(UsbStatus s);

// Picks the Nth transfer (1-based) on one endpoint; nth 0 means every one.
// ep 0 switches the fault off.
struct EndpointFault {
    uint8_t ep = 0;
    int nth = 0;
};

// How a recorded reader differs from the model: how long it took to answer
// each command, and answers of a shape the model does not give (another
// select payload, an identifier of another length). The card's own data are
// never taken from it: the model answers the reads itself.
class AnswerProfile {
  public:
    virtual ~AnswerProfile() = default;
    // The delay of the next answer to `command`; nullopt: the model's own.
    virtual std::optional<uint64_t> next_delay_us(const uint8_t (&command)[2]) = 0;
    // The answer contents (card status, module status, data) to give for
    // `command` instead of the model's `own`; `own` to keep it.
    virtual std::vector<uint8_t> shape(const uint8_t (&command)[2],
                                       const std::vector<uint8_t> &own) const = 0;
};

// Fault and realism knobs, all read at the moment they matter, so a test may
// change them between transfers. Transfer counts used by the Nth-style knobs
// are those of counters(): OUT stages, and IN stages that delivered data or
// were ended by a fault (an IN that found nothing ready is not counted).
struct Knobs {
    // Security module realism.
    bool refind_after_read = false;  // false: a card once read is not found again
                                     // until it is removed and presented again
    bool select_names_card = false;  // the select answer's 8 bytes are the card's own
                                     // (false: zeros, the same for every card)
    uint64_t read_delay_us = 500000; // the module's read time: the read answer is ready
                                     // this long after the command (--card-read-ms)
    int read_pieces = 0;          // >1: the read answer leaves in this many pieces spread over the
                                  // module's read time, the last one at its end (0, 1: whole)
    uint64_t answer_delay_us = 0; // every other answer is ready this long after its command
    std::array<uint8_t, kModuleIdBytes> module_id = {'V', 'S', 'I', 'M', '-', '0', '0', '0',
                                                     '1', '-', '0', '0', '0', '0', '4', '2'};

    // A recorded reader's timing and answer shapes, over the delays above;
    // shared by copies of the knobs (null: none).
    std::shared_ptr<AnswerProfile> profile;

    // Device requests.
    UsbStatus claim_error = UsbStatus::Ok;             // claim_interface answers this
    UsbStatus set_configuration_error = UsbStatus::Ok; // set_configuration answers this
    bool kernel_driver_active = false; // a kernel driver holds interface 0 at plug-in
                                       // (claim is Busy until it is detached)

    // Card movements, counted in find commands.
    int card_arrives_after_finds = 0; // insert_card() lays the card down only after
                                      // this many finds answered "no card" (0: at once)
    int card_leaves_after_finds = 0;  // the card is lifted right after the Nth find
                                      // that saw it on the reader (0: never)

    // Answer faults.
    int select_fails = 0;                 // this many selects answer 81 (-1: every one)
    int read_answer_body_bytes = -1;      // the read answer's body stage (either read) carries
                                          // only this many of its bytes (-1: all)
    int read_answer_extra_bytes = 0;      // the read answer's body stage carries this many
                                          // bytes more than its length says
    bool refuse_fingerprint_read = false; // 30 10 answers 21, as an older module does
    bool ignore_fingerprint_read = false; // 30 10 gets no answer at all; the card stays selected
    bool refuse_appended_address = false; // 30 03 answers 21
    int read_length_field = -1;     // the read answer (either read) says this length in bytes 5-6
                                    // though it is 1295 bytes long (-1: honest 05 08)
    bool damage_preamble = false;   // every SAM answer starts 55 instead of AA
    bool damage_check_byte = false; // every SAM answer's check byte is inverted

    // Transfer faults.
    EndpointFault in_timeout;       // the IN stage runs into its timeout; its data stay queued
    EndpointFault in_partial;       // the IN stage delivers in_partial_bytes, then fails
    int in_partial_bytes = 3;       //   with Timeout; the rest of that stage is lost
    EndpointFault out_stall;        // the OUT stage stalls and takes nothing
    bool stall_sticks = true;       // a stalled OUT endpoint stays halted until clear_halt
    int unplug_after_transfers = 0; // the Nth transfer completes, then the reader is
                                    // unplugged (0: never)

    // Controller faults.
    bool controller_silent = false;   // probes and restarts go unanswered
    int controller_answers_probe = 0; // only the Nth probe is answered (0: every one)
    int mcu_write_stalls = 0;         // the first N six-byte controller writes stall (-1: all)
};

// What a test may count. Commands are counted when their frame was judged valid.
struct Counters {
    int module_id = 0; // 12 FF
    int status = 0;    // 11 FF
    int reset = 0;     // 10 FF
    int find = 0;
    int select = 0;
    int read = 0;                   // 30 01
    int read_with_fingerprints = 0; // 30 10
    int read_appended_address = 0;  // 30 03
    int unknown_command = 0;
    int frames_rejected = 0; // bad check, bad length, bad preamble, stray body stage
    int probes = 0;
    int restarts = 0;
    int mcu_rejected = 0; // six-byte writes that are not a known controller frame
    int events_sent = 0;
    int out_transfers = 0;
    int in_transfers = 0;
    int clear_halts = 0;
    int device_resets = 0;
    int out_on(uint8_t ep) const;
    int in_on(uint8_t ep) const;
    std::array<int, 16> out_by_ep{}; // indexed by endpoint number (ep & 0x0F)
    std::array<int, 16> in_by_ep{};
};

class VirtualReader {
  public:
    VirtualReader();
    explicit VirtualReader(const CardFields &card); // with a card on it

    Knobs &knobs() { return knobs_; }
    const Knobs &knobs() const { return knobs_; }
    const Counters &counters() const { return counters_; }

    // --- Card on the reader ---
    void insert_card(const CardFields &card); // honours card_arrives_after_finds
    void remove_card();
    bool has_card() const; // lying on the reader now (not merely announced)
    const CardFields *card() const;

    // --- The device on the bus ---
    void unplug(); // every later call answers NoDevice; queued data are lost
    void replug(); // back with fresh USB state (no halts, nothing queued)
    bool present() const;

    // --- Transfers ---
    // Host to reader. Ok when the reader took all `len` bytes.
    UsbStatus out_transfer(uint8_t ep, const uint8_t *data, int len, uint64_t now_us);
    // Reader to host: at most `capacity` bytes of the next stage queued on `ep`
    // that is ready at `now_us`. NothingReady: see ready_at_us. Timeout: a fault
    // ended it (`*transferred` tells how many bytes got through first).
    UsbStatus in_transfer(uint8_t ep, uint8_t *buf, int capacity, int *transferred,
                          uint64_t now_us);
    // When the next stage on `ep` is (or was) ready; nothing queued: nullopt.
    std::optional<uint64_t> ready_at_us(uint8_t ep) const;

    // --- Device requests ---
    UsbStatus set_configuration(int configuration);
    UsbStatus get_configuration(int *configuration) const;
    UsbStatus claim_interface(int iface);
    UsbStatus release_interface(int iface);
    // 1 or 0, or NoDevice.
    UsbStatus kernel_driver_active(int iface, bool *active) const;
    UsbStatus detach_kernel_driver(int iface); // NotFound when none is attached
    UsbStatus clear_halt(uint8_t ep);
    UsbStatus reset_device(uint64_t now_us); // clears halts, queues and the card session

    // --- Controller ---
    // Queues an event frame (event_frame()) ready at `now_us`; false for a bad class.
    bool emit_event(int frame_class, uint8_t single, const std::vector<uint8_t> &data,
                    uint64_t now_us);
    // The controller behind a serial line: bytes in, its answer out (may be
    // empty). Controller frames may be split across writes; bytes that are not
    // part of one are dropped. SAM frames are not served on this side.
    std::vector<uint8_t> serial_write(const uint8_t *data, int len, uint64_t now_us);

    // --- Frame log: one line per stage, e.g.
    //   "t=1000100 OUT 02 [7] AA AA AA 96 69 00 03"
    //   "t=1000200 IN 81 timeout (fault)"
    const std::vector<std::string> &log() const { return log_; }
    void clear_log() { log_.clear(); }
    void set_keep_log(bool keep) { keep_log_ = keep; }
    // Also called for every line, whether or not the log keeps it.
    void set_log_sink(std::function<void(const std::string &)> sink) { sink_ = std::move(sink); }

  private:
    struct Stage {
        std::vector<uint8_t> bytes;
        uint64_t ready_at;
        bool answer;       // false: an event frame, which a new command does not discard
        bool more = false; // the next stage on the endpoint continues this one's transfer
    };

    void log_line(uint64_t now_us, const std::string &text);
    void log_stage(uint64_t now_us, const char *dir, uint8_t ep, const uint8_t *data, int len,
                   const char *note = nullptr);
    void after_transfer();
    std::deque<Stage> *queue_for(uint8_t ep);
    const std::deque<Stage> *queue_for(uint8_t ep) const;
    void queue_message(std::vector<uint8_t> frame, uint64_t ready_at, bool answer);
    // The read answer in knobs_.read_pieces pieces, the last ready at `ready_at`.
    void queue_in_pieces(const std::vector<uint8_t> &frame, uint64_t now_us, uint64_t ready_at);
    void discard_answers();
    void clear_usb_state();
    // What a call on interface `iface` meets first: an unplugged reader, or
    // an interface it does not have.
    UsbStatus interface_status(int iface) const;
    void forget_session();

    void take_header(const uint8_t *data, int len, uint64_t now_us);
    void take_body(const uint8_t *data, int len, uint64_t now_us);
    // The controller's reply to a six-byte frame, if it gives one.
    std::optional<std::vector<uint8_t>> handle_mcu(const uint8_t *frame, uint64_t now_us);
    bool mcu_answers_probe() const;
    void handle_command(const std::vector<uint8_t> &frame, uint64_t now_us);
    void apply_damage(std::vector<uint8_t> &frame) const;
    // When the answer to the command being handled is ready: the profile's
    // delay for it, else `own_delay_us`.
    uint64_t answer_due(uint64_t now_us, uint64_t own_delay_us) const;
    void answer(const std::vector<uint8_t> &contents, uint64_t ready_at);
    void answer_status(uint8_t status, uint64_t now_us);
    void do_find(uint64_t now_us);
    void do_select(uint64_t now_us);
    void do_read(uint64_t now_us, bool with_fingerprints);
    void do_read_appended_address(uint64_t now_us);
    bool fault_hits(const EndpointFault &f, uint8_t ep, int count) const;

    Knobs knobs_;
    Counters counters_;
    std::vector<std::string> log_;
    bool keep_log_ = true;
    std::function<void(const std::string &)> sink_;

    uint8_t command_[2] = {}; // the SAM command being handled

    // Card state.
    std::optional<CardFields> card_;
    std::optional<CardFields> pending_card_;
    int finds_while_pending_ = 0;
    int finds_with_card_ = 0;
    bool found_ = false;     // found since it was presented
    bool selected_ = false;  // selected after that find
    bool exhausted_ = false; // read since it was presented
    int selects_failed_ = 0;
    int mcu_writes_stalled_ = 0;

    // USB state.
    bool present_ = true;
    int configuration_ = kConfiguration;
    bool claimed_ = false;
    bool driver_detached_ = false; // kernel_driver_active knob, until detached
    std::array<bool, 16> halted_{};
    std::optional<std::vector<uint8_t>> pending_header_;
    std::deque<Stage> header_in_;
    std::deque<Stage> body_in_;
    int transfers_ = 0; // for unplug_after_transfers

    // Serial side.
    std::vector<uint8_t> serial_rx_;
};

} // namespace vsim

#endif
