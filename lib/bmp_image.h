// SPDX-License-Identifier: LGPL-2.1-or-later
// The photo decoder's BMP, read back: only an uncompressed 24-bit BMP of a
// plausible size, judged by its own header and length. Internal.
#ifndef VESSIK_BMP_IMAGE_H
#define VESSIK_BMP_IMAGE_H

#include <cstddef>

namespace vessik {

// The largest file the library reads back from the decoder: room for a
// 24-bit BMP of VESSIK_IMAGE_MAX_SIDE pixels a side with its headers.
constexpr size_t kMaxBmpFileBytes = 4u << 20;

enum class BmpCheck {
    Ok,
    TooShort,         // shorter than the two headers
    NotBmp,           // no "BM" signature
    BadHeader,        // info header size, planes or pixel offset out of place
    NotTwentyFourBit, // another depth, or compressed
    BadDimensions,    // zero, negative width, or a side above the limit
    Truncated,        // fewer pixel bytes than the rows need
};

// Pixels of a BMP, top row first, 3 bytes (R, G, B) each, no padding.
struct BmpPixels {
    unsigned width = 0;
    unsigned height = 0;
    unsigned char *rgb = nullptr; // malloc'd; the caller wipes and frees it
    size_t rgb_bytes = 0;
};

// Checks `bytes` and, when it is well formed, converts its pixels into
// `pixels` (Ok). `pixels.rgb` is left null for any other answer, and for
// Ok when memory ran out.
BmpCheck ReadBmp(const unsigned char *bytes, size_t count, BmpPixels &pixels);

// A short English text for a check's answer, for the log.
const char *BmpCheckText(BmpCheck check);

} // namespace vessik

#endif
