// SPDX-License-Identifier: LGPL-2.1-or-later
// Command frames as the virtual reader's model builds them, so that a test
// states which command it sends, not its bytes. Header only: the test links
// vessik_sim (directly or through the test bus).
#ifndef VESSIK_TESTS_SUPPORT_MODEL_FRAMES_H
#define VESSIK_TESTS_SUPPORT_MODEL_FRAMES_H

#include <cstdint>
#include <vector>

#include "virtual_reader.h"

namespace testsupport {

// The whole frame of a command (vsim::kCmdFind and the like).
inline std::vector<uint8_t> CommandFrame(const uint8_t (&command)[2])
{
    return vsim::sam_frame({command[0], command[1]});
}

} // namespace testsupport

#endif
