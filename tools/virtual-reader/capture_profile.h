// SPDX-License-Identifier: LGPL-2.1-or-later
// A capture made by vessik-doctor --capture, as the reader model replays it:
// each command answered after the capture's median time for it (or, exact,
// after the times it recorded, in their order), and with the answer shapes
// it recorded where they differ from the model's. The reads of the card are
// shaped by the model alone.
#ifndef VESSIK_TOOLS_VIRTUAL_READER_CAPTURE_PROFILE_H
#define VESSIK_TOOLS_VIRTUAL_READER_CAPTURE_PROFILE_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "virtual_reader.h"

class CaptureProfile : public vsim::AnswerProfile {
  public:
    // Reads the capture at `path`; null with `error` set when it cannot be
    // read or holds no answer with its timing.
    static std::shared_ptr<CaptureProfile> load(const std::string &path, bool exact,
                                                std::string &error);
    // The same from the capture's text.
    static std::shared_ptr<CaptureProfile> parse(const std::string &text, bool exact,
                                                 std::string &error);

    std::optional<uint64_t> next_delay_us(const uint8_t (&command)[2]) override;
    std::vector<uint8_t> shape(const uint8_t (&command)[2],
                               const std::vector<uint8_t> &own) const override;

    // How many commands have recorded times, and how many recorded shapes.
    size_t timed_commands() const { return times_.size(); }
    size_t shapes() const { return shapes_.size(); }

  private:
    struct Times {
        std::vector<uint64_t> recorded; // in the capture's order
        uint64_t median = 0;
        size_t next = 0; // exact: the next one to give
    };
    using Command = uint16_t; // command byte, parameter byte

    bool exact_ = false;
    std::map<Command, Times> times_;
    // (command, module status) -> the contents of the recorded answer.
    std::map<std::pair<Command, uint8_t>, std::vector<uint8_t>> shapes_;
};

#endif
