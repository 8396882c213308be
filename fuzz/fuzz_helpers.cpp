// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzz target: the exported text helpers a client feeds with its own data:
// key texts into CCommon::getSecretkeyPacket, texts and separators into
// split and CCommon::strReplaceString, and chartrimright.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Common.h"
#include "Public.h"
#include "fuzz_input.h"

namespace {

// The packet carries at most 128 key bytes: 4 bytes of head, the key, the
// checksum and the end byte.
constexpr size_t kMaxKeyBytes = 128;
constexpr size_t kMaxPacketBytes = kMaxKeyBytes + 6;
constexpr uint8_t kUntouched = 0xCC;
constexpr size_t kMaxSeparator = 8;

void CheckKeyPacket(const std::string &key)
{
    // Exactly the largest packet, on the heap, so a longer write is caught.
    std::unique_ptr<uint8_t[]> packet(new uint8_t[kMaxPacketBytes]);
    memset(packet.get(), kUntouched, kMaxPacketBytes);
    const int len = CCommon::getSecretkeyPacket(key, packet.get());

    std::string digits;
    for (char c : key)
        if (c != '-')
            digits += c;
    const size_t n = std::min(digits.size() / 2, kMaxKeyBytes);
    FUZZ_CHECK(len == static_cast<int>(n + 6));
    FUZZ_CHECK(packet[0] == 0xFF && packet[1] == 0xBB);
    FUZZ_CHECK(packet[2] == (n >> 8) && packet[3] == (n & 0xFF));
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += packet[4 + i];
    FUZZ_CHECK(packet[4 + n] == (sum & 0xFF));
    FUZZ_CHECK(packet[5 + n] == 0xAA);
    for (size_t i = n + 6; i < kMaxPacketBytes; ++i)
        FUZZ_CHECK(packet[i] == kUntouched);
}

// True when a proper prefix of `s` is also its suffix: such a separator can
// overlap itself, and split then drops the text's tail (documented).
bool OverlapsItself(const std::string &s)
{
    for (size_t k = 1; k < s.size(); ++k)
        if (s.compare(0, k, s, s.size() - k, k) == 0)
            return true;
    return false;
}

void CheckSplit(const std::string &text, const std::string &sep)
{
    const std::vector<std::string> pieces = split(text, sep);
    if (sep.empty()) {
        FUZZ_CHECK(pieces.size() == 1 && pieces[0] == text);
        return;
    }
    FUZZ_CHECK(!pieces.empty());
    std::string joined;
    for (const std::string &piece : pieces) {
        FUZZ_CHECK(piece.find(sep) == std::string::npos);
        joined += piece + sep;
    }
    const std::string whole = text + sep;
    FUZZ_CHECK(whole.compare(0, joined.size(), joined) == 0);
    if (!OverlapsItself(sep))
        FUZZ_CHECK(joined == whole);
}

// Every occurrence, left to right and not overlapping, replaced once.
std::string ReplacedEverywhere(const std::string &text, const std::string &find,
                               const std::string &replacement)
{
    std::string out;
    size_t pos = 0;
    for (size_t p; (p = text.find(find, pos)) != std::string::npos; pos = p + find.size())
        out += text.substr(pos, p - pos) + replacement;
    return out + text.substr(pos);
}

void CheckReplace(const std::string &text, const std::string &find, const std::string &replacement)
{
    std::string changed = text;
    const std::string returned = CCommon::strReplaceString(changed, find, replacement);
    FUZZ_CHECK(returned == changed);
    FUZZ_CHECK(changed == (find.empty() ? text : ReplacedEverywhere(text, find, replacement)));
}

void CheckTrim(const std::string &text)
{
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    const size_t len = strlen(buffer.data());
    FUZZ_CHECK(chartrimright(buffer.data()) == buffer.data());
    const size_t kept = strlen(buffer.data());
    FUZZ_CHECK(kept <= len && (len == 0 || kept >= 1));
    FUZZ_CHECK(text.compare(0, kept, buffer.data(), kept) == 0);
    for (size_t i = kept; i < len; ++i)
        FUZZ_CHECK(text[i] == ' ');
    if (kept > 1)
        FUZZ_CHECK(buffer[kept - 1] != ' ');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    switch (in.below(4)) {
    case 0:
        CheckKeyPacket(in.rest());
        break;
    case 1: {
        const std::string sep = in.text(kMaxSeparator);
        CheckSplit(in.rest(), sep);
        break;
    }
    case 2: {
        const std::string find = in.text(kMaxSeparator);
        const std::string replacement = in.text(kMaxSeparator);
        CheckReplace(in.rest(), find, replacement);
        break;
    }
    default:
        CheckTrim(in.rest());
        break;
    }
    return 0;
}
