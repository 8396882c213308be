// SPDX-License-Identifier: LGPL-2.1-or-later
// A serial line as a device, written once under both surfaces (NvSerial and
// the reader handles' serial link): opening it, the one table of rates, and
// the raw record every line here runs with. Internal.
#ifndef VESSIK_TTY_H
#define VESSIK_TTY_H

#include <termios.h>

namespace vessik {
namespace tty {

// Opens the line read-write, not as the controlling terminal and without
// waiting for carrier, adding `extra_flags` (O_CLOEXEC); -1 with errno set.
int OpenLine(const char *path, int extra_flags);

// The speed of a rate in bits per second; false for a rate the table lacks.
bool SpeedForRate(int rate, speed_t *speed);
// The code a security module takes in its 60 xx command to move to `rate`;
// false for a rate the modules cannot be set to.
bool ModuleRateCode(int rate, unsigned char *code);
// The fastest rate a module can be set to.
int FastestModuleRate();
// Room enough for every rate of the table.
constexpr int kRatesMax = 16;
// The rates a module can be set to, slowest first, into `rates`; their count.
int ModuleRates(int *rates, int room);

// The raw record, built from nothing: no input or output processing, no
// echo, no signals, no flow control, and reads that return at once (VMIN
// and VTIME 0). Speed and character framing are set by the calls below.
void ClearToRaw(termios *tio);
void SetSpeed(termios *tio, speed_t speed);
// 7 or 8 data bits; false otherwise.
bool SetDataBits(termios *tio, int data_bits);
// 'N', 'O' or 'E'; false otherwise.
bool SetParity(termios *tio, char parity);
// 1 or 2 stop bits; false otherwise (the record is left as it is).
bool SetStopBits(termios *tio, int stop_bits);
// Puts the record into effect at once: true when the line took it.
bool Apply(int fd, const termios &tio);

} // namespace tty
} // namespace vessik

#endif
