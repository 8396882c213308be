// SPDX-License-Identifier: LGPL-2.1-or-later
// The security module behind a serial line: the virtual reader's module
// model, fed from a byte stream and answering into one, as a module wired to
// a UART does. Frames arrive whole or in pieces; bytes outside a frame are
// dropped. Answers leave as the knobs say: whole or in pieces with pauses,
// after line noise, with a wrong check byte. The module's own 60 xx command
// moves it to another line rate.
//
// Like the rest of the model it does no I/O and starts no threads: the host
// of the line (a pty pump in the tests, the launcher) moves the bytes and
// the time.
#ifndef VSIM_SERIAL_MODULE_H
#define VSIM_SERIAL_MODULE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <termios.h>
#include <vector>

#include "virtual_reader.h"

namespace vsim {

constexpr int kSerialDefaultRate = 115200;
constexpr uint8_t kCmdSetRate = 0x60; // 60 00 .. 60 04: 115200, 57600, 38400, 19200, 9600
// The rate a 60 xx parameter names, or 0.
int serial_rate_of_code(uint8_t code);

// The rate a terminal's side of the line is set to (its output speed), or 0
// for none the module runs at.
int terminal_rate(int fd);
// The terminal speed (B115200 ...) of a rate the module runs at; the
// default rate's for any other.
speed_t terminal_speed(int rate);
// Bytes sent at `sent_rate` and taken at `taken_rate`: when the two differ
// they arrive as garbage, as they do on a real line. The garbage is fixed,
// so that runs repeat. The hosts of the line (the launcher's pty, the
// tests') put every byte through here.
void cross_line(uint8_t *bytes, size_t len, int sent_rate, int taken_rate);

struct SerialKnobs {
    size_t piece_bytes = 0;       // answers leave in pieces this long (0: whole)
    uint64_t piece_pause_us = 0;  // with this pause between pieces
    int corrupt_checks = 0;       // the next N answers carry a wrong check byte
    size_t noise_bytes = 0;       // bytes of line noise before every answer
    bool ack_at_new_rate = false; // a rate change is acknowledged at the new rate
    bool wire_time = false;       // bytes leave no faster than the rate allows (10 bits each)
};

// Bytes for the host, due at a time, sent at a line rate.
struct SerialOutput {
    std::vector<uint8_t> bytes;
    uint64_t due_us;
    int rate;
};

class SerialModule {
  public:
    explicit SerialModule(VirtualReader &reader) : reader_(reader) {}

    SerialKnobs &knobs() { return knobs_; }
    int rate() const { return rate_; }
    void set_rate(int rate) { rate_ = rate; }

    // Bytes from the host at `now_us`.
    void host_bytes(const uint8_t *data, size_t len, uint64_t now_us);
    // The next bytes due by `now_us`, if any (answers become due when the
    // module has them ready, pieces after their pauses).
    std::optional<SerialOutput> take_due(uint64_t now_us);
    // When the next bytes will be due; nullopt when nothing is waiting.
    std::optional<uint64_t> next_due_us() const;

  private:
    void take_frames(uint64_t now_us);
    void command(const std::vector<uint8_t> &frame, uint64_t now_us);
    void set_rate_command(uint8_t code, uint64_t now_us);
    void collect_answer(uint64_t now_us);
    // Appends what one IN stage on `ep` delivers to `bytes`.
    void take_stage(uint8_t ep, uint64_t now_us, std::vector<uint8_t> *bytes);
    // `opens`: the first bytes of an answer (noise goes before them);
    // `closes`: its last (a wrong check byte goes there).
    void queue_answer(std::vector<uint8_t> frame, uint64_t ready_us, int rate, bool opens = true,
                      bool closes = true);

    VirtualReader &reader_;
    SerialKnobs knobs_;
    int rate_ = kSerialDefaultRate;
    std::vector<uint8_t> incoming_;
    bool answer_pending_ = false; // the model holds an answer not yet collected
    bool header_taken_ = false;   // ... of which the header stage has been collected
    std::deque<SerialOutput> out_;
    uint32_t noise_state_ = 0x9E3779B9u;
};

} // namespace vsim

#endif
