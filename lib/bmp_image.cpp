// SPDX-License-Identifier: LGPL-2.1-or-later
// The photo decoder's BMP, checked and turned into RGB rows (bmp_image.h).
#include "bmp_image.h"

#include <cstdint>
#include <cstdlib>

#include "vessik_read.h"

namespace vessik {
namespace {

// BITMAPFILEHEADER then BITMAPINFOHEADER (or a later, longer info header).
constexpr size_t kFileHeaderBytes = 14;
constexpr size_t kInfoHeaderMinBytes = 40;
constexpr size_t kOffsetPixelOffset = 10;
constexpr size_t kOffsetInfoSize = 14;
constexpr size_t kOffsetWidth = 18;
constexpr size_t kOffsetHeight = 22;
constexpr size_t kOffsetPlanes = 26;
constexpr size_t kOffsetBitCount = 28;
constexpr size_t kOffsetCompression = 30;
constexpr uint32_t kCompressionNone = 0;
constexpr uint16_t kBitsPerPixel = 24;
constexpr size_t kBytesPerPixel = 3;
constexpr size_t kRowAlignment = 4;

uint32_t Le32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t Le16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

struct Layout {
    size_t pixel_offset;
    unsigned width;
    unsigned height;
    bool top_down; // a negative height: the first row in the file is the top
};

BmpCheck CheckHeaders(const unsigned char *bytes, size_t count, Layout &layout)
{
    if (count < kFileHeaderBytes + kInfoHeaderMinBytes)
        return BmpCheck::TooShort;
    if (bytes[0] != 'B' || bytes[1] != 'M')
        return BmpCheck::NotBmp;
    const uint32_t info_size = Le32(bytes + kOffsetInfoSize);
    const uint32_t pixel_offset = Le32(bytes + kOffsetPixelOffset);
    if (info_size < kInfoHeaderMinBytes || pixel_offset < kFileHeaderBytes + info_size ||
        pixel_offset > count || Le16(bytes + kOffsetPlanes) != 1)
        return BmpCheck::BadHeader;
    if (Le16(bytes + kOffsetBitCount) != kBitsPerPixel ||
        Le32(bytes + kOffsetCompression) != kCompressionNone)
        return BmpCheck::NotTwentyFourBit;
    const auto width = static_cast<int32_t>(Le32(bytes + kOffsetWidth));
    const auto height = static_cast<int32_t>(Le32(bytes + kOffsetHeight));
    // INT32_MIN has no positive counterpart: refused with the other sizes.
    if (width <= 0 || width > VESSIK_IMAGE_MAX_SIDE || height == 0 ||
        height < -VESSIK_IMAGE_MAX_SIDE || height > VESSIK_IMAGE_MAX_SIDE)
        return BmpCheck::BadDimensions;
    layout.pixel_offset = pixel_offset;
    layout.width = static_cast<unsigned>(width);
    layout.height = static_cast<unsigned>(height < 0 ? -height : height);
    layout.top_down = height < 0;
    return BmpCheck::Ok;
}

} // namespace

BmpCheck ReadBmp(const unsigned char *bytes, size_t count, BmpPixels &pixels)
{
    pixels = BmpPixels{};
    Layout layout{};
    const BmpCheck headers = CheckHeaders(bytes, count, layout);
    if (headers != BmpCheck::Ok)
        return headers;
    // Rows in the file are padded to whole 4-byte words.
    const size_t row_bytes = layout.width * kBytesPerPixel;
    const size_t file_row_bytes = (row_bytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
    if (count - layout.pixel_offset < file_row_bytes * layout.height)
        return BmpCheck::Truncated;

    const size_t rgb_bytes = row_bytes * layout.height;
    auto *rgb = static_cast<unsigned char *>(std::malloc(rgb_bytes));
    if (rgb == nullptr)
        return BmpCheck::Ok;
    for (unsigned y = 0; y < layout.height; ++y) {
        const unsigned file_row = layout.top_down ? y : layout.height - 1 - y;
        const unsigned char *in = bytes + layout.pixel_offset + file_row * file_row_bytes;
        unsigned char *out = rgb + y * row_bytes;
        // The file keeps each pixel as blue, green, red.
        for (unsigned x = 0; x < layout.width; ++x, in += kBytesPerPixel, out += kBytesPerPixel) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    }
    pixels.width = layout.width;
    pixels.height = layout.height;
    pixels.rgb = rgb;
    pixels.rgb_bytes = rgb_bytes;
    return BmpCheck::Ok;
}

const char *BmpCheckText(BmpCheck check)
{
    switch (check) {
    case BmpCheck::Ok:
        return "a 24-bit BMP";
    case BmpCheck::TooShort:
        return "shorter than a BMP's headers";
    case BmpCheck::NotBmp:
        return "not a BMP";
    case BmpCheck::BadHeader:
        return "a BMP with a malformed header";
    case BmpCheck::NotTwentyFourBit:
        return "a BMP that is not 24-bit uncompressed";
    case BmpCheck::BadDimensions:
        return "a BMP of no plausible width or height";
    case BmpCheck::Truncated:
        return "a BMP with fewer pixel bytes than its rows need";
    }
    return "an unknown BMP check";
}

} // namespace vessik
