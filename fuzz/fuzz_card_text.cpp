// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzz target: a 256-byte card text block decoded into a zero-filled idInfo
// by DecodeCardText. Nothing may be written outside the text fields, every
// text field must end inside its width, a digit field holds the low bytes of
// its units, and a free-text field (or a nationality name) whose units are
// all valid (no surrogates) must come out as valid UTF-8. A free-text field
// must hold the start of its text, cut only where the next character does not
// fit.
#include <cstddef>
#include <cstring>
#include <vector>

#include "card_text.h"
#include "fuzz_input.h"
#include "record_checks.h"

using namespace vessik;

namespace {

constexpr size_t kBlockBytes = 256;
constexpr unsigned kPadUnit = 0x0020;
constexpr unsigned kSurrogateFirst = 0xD800;
constexpr unsigned kSurrogateLast = 0xDFFF;

struct TextField {
    size_t block_offset;
    size_t block_width;
    size_t record_offset;
    size_t record_width;
    bool free_text;
};
constexpr TextField kFields[] = {
    {0, 30, offsetof(idInfo, name), 30, true},
    {30, 2, offsetof(idInfo, sex), 2, false},
    {32, 4, offsetof(idInfo, nation), 4, false},
    {36, 16, offsetof(idInfo, birth), 16, false},
    {52, 70, offsetof(idInfo, address), 140, true},
    {122, 36, offsetof(idInfo, cardno), 36, false},
    {158, 30, offsetof(idInfo, authority), 64, true},
    {188, 16, offsetof(idInfo, starttime), 16, false},
    {204, 16, offsetof(idInfo, endtime), 16, false},
};
// The text fields fill the record up to the photo.
constexpr size_t kTextEnd = offsetof(idInfo, photo);

std::vector<unsigned> Units(const uint8_t *block, const TextField &f)
{
    std::vector<unsigned> units;
    for (size_t i = 0; i + 1 < f.block_width; i += 2)
        units.push_back(block[f.block_offset + i] | block[f.block_offset + i + 1] << 8);
    return units;
}

bool AnySurrogate(const std::vector<unsigned> &units)
{
    for (unsigned u : units)
        if (u >= kSurrogateFirst && u <= kSurrogateLast)
            return true;
    return false;
}

size_t Utf8Length(unsigned unit)
{
    return unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF) into
// code points; false for anything else.
bool DecodeUtf8(const uint8_t *s, size_t len, std::vector<unsigned> &out)
{
    for (size_t i = 0; i < len;) {
        const uint8_t b = s[i];
        size_t n = 0;
        unsigned cp = 0;
        unsigned min = 0;
        if (b < 0x80) {
            n = 1, cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            n = 2, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            n = 3, cp = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            n = 4, cp = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + n > len)
            return false;
        for (size_t k = 1; k < n; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (s[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= kSurrogateFirst && cp <= kSurrogateLast))
            return false;
        out.push_back(cp);
        i += n;
    }
    return true;
}

// The decoded text is the start of the field's text (up to its first space
// unit, or a NUL unit, which ends the string as read), cut only where the
// next character would not fit before the field's last byte.
void CheckFreeText(const std::vector<unsigned> &units, const std::vector<unsigned> &decoded,
                   size_t written, size_t record_width)
{
    size_t end = 0;
    while (end < units.size() && units[end] != kPadUnit && units[end] != 0)
        ++end;
    FUZZ_CHECK(decoded.size() <= end);
    for (size_t i = 0; i < decoded.size(); ++i)
        FUZZ_CHECK(decoded[i] == units[i]);
    if (decoded.size() < end)
        FUZZ_CHECK(written + Utf8Length(units[decoded.size()]) > record_width - 1);
}

// A digit field holds the low byte of each unit, unchecked, and zeros after
// them: a card with a non-ASCII unit there gives a byte that is no UTF-8.
bool HoldsLowBytes(const uint8_t *field, const TextField &f, const std::vector<unsigned> &units)
{
    for (size_t i = 0; i < f.record_width; ++i) {
        const unsigned expected = i < units.size() ? (units[i] & 0xFF) : 0;
        if (field[i] != expected)
            return false;
    }
    return true;
}

void CheckField(const uint8_t *block, const idInfo &info, const TextField &f)
{
    const uint8_t *field = reinterpret_cast<const uint8_t *>(&info) + f.record_offset;
    const void *nul = memchr(field, 0, f.record_width);
    FUZZ_CHECK(nul != nullptr);
    const size_t written = static_cast<size_t>(static_cast<const uint8_t *>(nul) - field);

    const std::vector<unsigned> units = Units(block, f);
    if (!f.free_text) {
        // The nationality's name may stand over its code digits instead.
        const bool may_hold_name = f.record_offset == offsetof(idInfo, nation);
        if (!may_hold_name || HoldsLowBytes(field, f, units)) {
            FUZZ_CHECK(HoldsLowBytes(field, f, units));
            return;
        }
    }
    if (AnySurrogate(units))
        return;
    std::vector<unsigned> decoded;
    FUZZ_CHECK(DecodeUtf8(field, written, decoded));
    if (f.free_text)
        CheckFreeText(units, decoded, written, f.record_width);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    // Exactly one block on the heap, so that a read past it is caught.
    std::vector<uint8_t> block = in.bytes(kBlockBytes);
    block.resize(kBlockBytes, 0);

    fuzzrec::GuardedRecord record;
    DecodeCardText(block.data(), &record.info);

    fuzzrec::CheckGuards(record);
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&record.info);
    FUZZ_CHECK(fuzzrec::AllBytes(bytes + kTextEnd, sizeof(idInfo) - kTextEnd, 0));
    for (const TextField &f : kFields)
        CheckField(block.data(), record.info, f);
    return 0;
}
