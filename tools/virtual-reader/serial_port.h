// SPDX-License-Identifier: LGPL-2.1-or-later
// A security module on a serial line for the program under the launcher: a
// pseudo-terminal whose master side the launcher serves from the module model
// (sim/serial_module), and a link to its slave side at a fixed path, as a
// USB-serial bridge appears as /dev/ttyUSB0. The program opens the link with
// the library, or with any terminal program.
//
// The launcher's main thread does everything here; no locks.
#ifndef VESSIK_TOOLS_VIRTUAL_READER_SERIAL_PORT_H
#define VESSIK_TOOLS_VIRTUAL_READER_SERIAL_PORT_H

#include <cstdint>
#include <memory>
#include <string>

#include "monotonic_clock.h"
#include "serial_module.h"
#include "virtual_reader.h"

class SerialPort {
  public:
    // The link will be made at `link_path`; the module starts at `rate`.
    SerialPort(vsim::VirtualReader &model, const MonotonicClock &clock, std::string link_path,
               int rate);
    ~SerialPort();
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    const std::string &link_path() const { return link_path_; }
    vsim::SerialKnobs &knobs() { return module_->knobs(); }
    int rate() const { return module_->rate(); }

    // A fresh pseudo-terminal behind the link (again): the port is there.
    bool plug(std::string &error);
    // The port vanishes, as a bridge pulled out does: the program's side
    // hangs up, and the link is gone, so a reopen finds nothing.
    void unplug();
    bool present() const { return master_ >= 0; }

    // Puts `fresh` in place of the model, and a new module (at the starting
    // rate, nothing pending) around it.
    void replace_model(vsim::VirtualReader fresh);

    // Readable when the program has written to the line; -1 while unplugged.
    int notify_fd() const { return master_; }
    // Takes what the program wrote and sends what the module has due.
    // Returns the next time it must run again (kNever: only when
    // notify_fd() says so).
    uint64_t service();
    static constexpr uint64_t kNever = UINT64_MAX;

  private:
    void take_host_bytes(uint64_t now);
    void send_due(uint64_t now);
    int host_rate() const;

    vsim::VirtualReader &model_;
    const MonotonicClock &clock_;
    const std::string link_path_;
    const int start_rate_;
    std::unique_ptr<vsim::SerialModule> module_;
    int master_ = -1;
    // The launcher keeps the slave side open too: the line then outlives the
    // program's opens and closes, as a real port does, and its master side
    // never reports a hang-up of its own.
    int slave_ = -1;
};

#endif
