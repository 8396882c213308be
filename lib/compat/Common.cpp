// SPDX-License-Identifier: LGPL-2.1-or-later
// Conversion helpers: numbers and text, hexadecimal, GUID bytes, key packet.
#include "Common.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {
// Longest key the packet carries: 256 hexadecimal digits after the dashes go.
constexpr int kMaxKeyBytes = 128;
// A GUID's first three fields (4, 2 and 2 bytes) are stored little-endian.
constexpr int kGuidHeadBytes = 8;
constexpr int kGuidHeadOrder[kGuidHeadBytes] = {3, 2, 1, 0, 5, 4, 7, 6};
constexpr int kHexDigitsPerByte = 2;
constexpr int kHexBase = 16;
constexpr char kHexDigits[] = "0123456789ABCDEF";

constexpr unsigned char kPacketStart = 0xFF;
constexpr unsigned char kPacketKind = 0xBB;
constexpr unsigned char kPacketEnd = 0xAA;
constexpr int kPacketHeadBytes = 4; // start, kind, two length bytes
constexpr int kPacketFrameBytes = 6;
constexpr unsigned kLowByte = 0xFF;
} // namespace

void CCommon::int2str(const int &value, std::string &out)
{
    std::ostringstream stream;
    stream << value;
    out = stream.str();
}

void CCommon::str2int(int &out, const std::string &text)
{
    // Formatted extraction: stops at the first non-digit, stores 0 for no
    // number, the nearest limit on overflow, and leaves out alone for blanks.
    std::istringstream stream(text);
    stream >> out;
}

std::string CCommon::ByteToString(const unsigned char *bytes, int start, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += ByteToHex(bytes[start + i]);
        text += ' ';
    }
    return text;
}

std::string CCommon::ByteToHex(unsigned char byte)
{
    const char digits[] = {kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]};
    return std::string(digits, sizeof(digits));
}

std::string CCommon::strReplaceString(std::string &text, const std::string &find,
                                      const std::string &replacement)
{
    // An empty find-text would match forever at the same place.
    if (find.empty())
        return text;
    std::string::size_type pos = 0;
    while ((pos = text.find(find, pos)) != std::string::npos) {
        text.replace(pos, find.length(), replacement);
        pos += replacement.length();
    }
    return text;
}

int CCommon::subBytes(const unsigned char *src, int start, int count, unsigned char *dest)
{
    for (int i = 0; i < count; ++i)
        dest[i] = src[start + i];
    return count;
}

long CCommon::hex2int(const std::string &text)
{
    return strtol(text.c_str(), nullptr, kHexBase);
}

int CCommon::GuidToBytearry(std::string hex, int chars, unsigned char *out)
{
    // Never read past the text nor past the scratch bytes.
    if (chars > static_cast<int>(hex.length()))
        chars = static_cast<int>(hex.length());
    int n = chars > 0 ? chars / kHexDigitsPerByte : 0;
    if (n > kMaxKeyBytes)
        n = kMaxKeyBytes;

    unsigned char scratch[kMaxKeyBytes];
    memset(scratch, 0, sizeof(scratch));
    for (int i = 0; i < n; ++i) {
        const long value =
            hex2int(hex.substr(static_cast<size_t>(i) * kHexDigitsPerByte, kHexDigitsPerByte));
        scratch[i] = static_cast<unsigned char>(value & kLowByte);
    }
    for (int k = 0; k < kGuidHeadBytes; ++k)
        out[k] = scratch[kGuidHeadOrder[k]];
    for (int k = kGuidHeadBytes; k < n; ++k)
        out[k] = scratch[k];
    return n;
}

int CCommon::getSecretkeyPacket(std::string key, unsigned char *packet)
{
    unsigned char payload[kMaxKeyBytes];
    memset(payload, 0, sizeof(payload));
    strReplaceString(key, "-", "");
    const int n = GuidToBytearry(key, static_cast<int>(key.length()), payload);

    packet[0] = kPacketStart;
    packet[1] = kPacketKind;
    packet[2] = static_cast<unsigned char>((n >> 8) & kLowByte);
    packet[3] = static_cast<unsigned char>(n & kLowByte);
    int sum = 0;
    for (int i = 0; i < n; ++i) {
        packet[kPacketHeadBytes + i] = payload[i];
        sum += payload[i];
    }
    packet[kPacketHeadBytes + n] = static_cast<unsigned char>(sum & kLowByte);
    packet[kPacketHeadBytes + n + 1] = kPacketEnd;
    return n + kPacketFrameBytes;
}
