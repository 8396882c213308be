// SPDX-License-Identifier: LGPL-2.1-or-later
// The security module's frame, written once: the preamble, the check byte
// and the command frames built from a command code. The poll, the serial
// link and the frame assembler all take them from here. Internal.
#ifndef VESSIK_FRAME_H
#define VESSIK_FRAME_H

#include <cstring>

#include "answer_layout.h"

namespace vessik {
namespace frame {

constexpr unsigned char kPreamble[kPreambleBytes] = {0xAA, 0xAA, 0xAA, 0x96, 0x69};
// Preamble and the two length bytes: what a frame must have before its length is known.
constexpr int kHeaderBytes = kPosLengthLow + 1;
// A command frame's length field: the two code bytes and the check byte.
constexpr int kCommandLength = 3;
constexpr int kPosCommandCode = kHeaderBytes;

// XOR over the length, the command or answer, up to the byte before the check byte.
constexpr unsigned char CheckByte(const unsigned char *bytes, int len)
{
    unsigned char check = 0;
    for (int i = kPosLengthHigh; i < len - 1; ++i)
        check = static_cast<unsigned char>(check ^ bytes[i]);
    return check;
}

inline bool StartsWithPreamble(const unsigned char *bytes, int count)
{
    return count >= kPreambleBytes && memcmp(bytes, kPreamble, sizeof kPreamble) == 0;
}

// One command frame, whole with its check byte.
struct Command {
    unsigned char bytes[kCommandFrameBytes];
};

constexpr Command BuildCommand(const unsigned char (&code)[2])
{
    Command command{};
    for (int i = 0; i < kPreambleBytes; ++i)
        command.bytes[i] = kPreamble[i];
    command.bytes[kPosLengthHigh] = 0;
    command.bytes[kPosLengthLow] = kCommandLength;
    command.bytes[kPosCommandCode] = code[0];
    command.bytes[kPosCommandCode + 1] = code[1];
    command.bytes[kCommandFrameBytes - 1] = CheckByte(command.bytes, kCommandFrameBytes);
    return command;
}

// The commands as this kit sends them; the documented read sends the
// exported SAM_* copies instead, which clients may patch.
constexpr Command kModuleIdCommand = BuildCommand(kCmdModuleId);
constexpr Command kFindCommand = BuildCommand(kCmdFind);
constexpr Command kSelectCommand = BuildCommand(kCmdSelect);
constexpr Command kReadCommand = BuildCommand(kCmdRead);
constexpr Command kReadWithFingerprintsCommand = BuildCommand(kCmdReadWithFingerprints);
constexpr Command kReadAppendedAddressCommand = BuildCommand(kCmdReadAppendedAddress);

} // namespace frame
} // namespace vessik

#endif
