// SPDX-License-Identifier: LGPL-2.1-or-later
// The substitute card's data (see substitute_card.h). Its bytes are the
// sample card's of the reader model: a capture replays the same card.
#include "substitute_card.h"

#include <string>

namespace doctor {
namespace {

constexpr uint16_t kSpaceUnit = 0x0020;

// One field of the text block: where it starts, how wide it is, its text.
struct TextField {
    size_t offset;
    size_t width;
    const char16_t *text;
};

const TextField kTextFields[] = {
    {0, 30, u"测试样卡"},
    {30, 2, u"1"},
    {32, 4, u"01"},
    {36, 16, u"19900307"},
    {52, 70, u"虚拟省示例市模拟区测试路1号"},
    {122, 36, u"990000199003070013"},
    {158, 30, u"示例市公安局模拟分局"},
    {188, 16, u"20200101"},
    {204, 16, u"20400101"},
};
const char16_t kAppendedAddress[] = u"虚拟省示例市模拟区迁入路8号";

// The photo's and the templates' seeds; templates draw from seeds of their
// own, apart from the photos'.
constexpr uint64_t kPhotoSeed = 1;
constexpr uint64_t kTemplateSeeds[] = {(1ULL << 32) + 1, (1ULL << 32) + 2};

// `units` as UCS-2LE over `width` bytes at `out`, padded with spaces.
void PutUnits(const std::u16string &units, size_t width, uint8_t *out)
{
    for (size_t u = 0; u < width / 2; ++u) {
        const uint16_t unit = u < units.size() ? units[u] : kSpaceUnit;
        out[2 * u] = static_cast<uint8_t>(unit & 0xFF);
        out[2 * u + 1] = static_cast<uint8_t>(unit >> 8);
    }
}

// splitmix64: the same made-up bytes on every machine.
std::vector<uint8_t> BytesFromSeed(uint64_t seed, size_t count)
{
    uint64_t state = seed;
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i += 8) {
        state += 0x9E3779B97F4A7C15ULL;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        for (size_t b = 0; b < 8 && i + b < count; ++b)
            bytes[i + b] = static_cast<uint8_t>(z >> (8 * b));
    }
    return bytes;
}

} // namespace

std::array<uint8_t, kTextBlockBytes> SubstituteTextBlock()
{
    std::array<uint8_t, kTextBlockBytes> block{};
    PutUnits(u"", block.size(), block.data());
    for (const TextField &f : kTextFields)
        PutUnits(f.text, f.width, block.data() + f.offset);
    return block;
}

std::vector<uint8_t> SubstitutePhoto()
{
    return BytesFromSeed(kPhotoSeed, kPhotoBytes);
}

std::vector<uint8_t> SubstituteTemplates()
{
    std::vector<uint8_t> templates;
    for (const uint64_t seed : kTemplateSeeds) {
        const std::vector<uint8_t> one = BytesFromSeed(seed, kTemplateBytes);
        templates.insert(templates.end(), one.begin(), one.end());
    }
    return templates;
}

std::array<uint8_t, kAppendedAddressBytes> SubstituteAppendedAddress()
{
    std::array<uint8_t, kAppendedAddressBytes> bytes{};
    PutUnits(kAppendedAddress, bytes.size(), bytes.data());
    return bytes;
}

} // namespace doctor
