// SPDX-License-Identifier: LGPL-2.1-or-later
// One place a reader model sits for the program: a USB reader on the
// testbed's bus, or the serial module on its pseudo-terminal. The launcher's
// timed events, control commands, polling and statistics go through this
// interface alone; the two kinds differ only in what is behind it.
#ifndef VESSIK_TOOLS_VIRTUAL_READER_READER_PORT_H
#define VESSIK_TOOLS_VIRTUAL_READER_READER_PORT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card.h"
#include "launcher_options.h"
#include "monotonic_clock.h"
#include "reader_device.h"
#include "virtual_reader.h"

class ReaderPort {
  public:
    // What the launcher's log says of this port's changes.
    struct Notes {
        const char *laid;
        const char *lifted;
        const char *gone;
        const char *back;
        const char *fresh;
    };

    virtual ~ReaderPort() = default;

    virtual const ReaderOptions &options() const = 0;
    // 1 for the first USB reader; 0 for the serial module.
    virtual int number() const = 0;
    virtual const Notes &notes() const = 0;

    // The model's faults switched on and the port made ready (before the
    // card is laid on).
    virtual bool set_up(std::string &error) = 0;
    // Says where the port is, once it is set up; most ports say nothing.
    virtual void announce() const {}
    virtual void lay_card() = 0;
    virtual void lift_card() = 0;
    // The port there (again); unplug: gone, as a reader pulled out is.
    virtual bool plug(std::string &error) = 0;
    virtual void unplug() = 0;
    virtual bool present() const = 0;
    // A fresh model with `faults` in place of the old one, and the port there.
    virtual bool replace_model(const std::vector<std::string> &faults, std::string &error) = 0;
    virtual vsim::Counters counters() = 0;
    // Readable when the port has work; -1 when it has none to wait for.
    virtual int notify_fd() const = 0;
    // Does the port's work; the next time it must run again (kNever: only
    // when notify_fd() says so).
    virtual uint64_t service() = 0;
    // Leaves the testbed or the line for good.
    virtual void close() = 0;

    static constexpr uint64_t kNever = UINT64_MAX;
};

// How the launcher runs every model.
struct ModelSetup {
    bool log = false; // each model's log on stderr
    std::shared_ptr<vsim::AnswerProfile> profile;
    bool several_readers = false; // log lines then say whose they are
};

// USB reader `number` (1 for the first) on `testbed`'s bus.
std::unique_ptr<ReaderPort> make_usb_port(const ReaderOptions &options,
                                          const vsim::CardFields &card, const MonotonicClock &clock,
                                          int number, Testbed &testbed, bool uevents,
                                          const ModelSetup &setup);
// The serial module on a pseudo-terminal linked at `link_path`, starting
// at `rate`.
std::unique_ptr<ReaderPort> make_serial_port(const ReaderOptions &options,
                                             const vsim::CardFields &card,
                                             const MonotonicClock &clock,
                                             const std::string &link_path, int rate,
                                             const ModelSetup &setup);

// A model's counters as one line of NAME=VALUE.
std::string counters_text(const vsim::Counters &c);

#endif
