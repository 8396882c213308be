// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * A photo decoder that is not the kit's stand-in, put in its place to see
 * what a program does with a decoder's answer. One source, built once for
 * each mode (FAKE_DECODER_MODE, see CMakeLists.txt):
 *   FAKE_DECODER_COPY  "decodes" by writing the compressed bytes unchanged,
 *                      so a test can tell that a reported file was written;
 *   FAKE_DECODER_BMP   writes a small 24-bit BMP whose colours follow the
 *                      photo bytes, so a test (or a browser) sees an image;
 *   FAKE_DECODER_SILENT writes nothing, says on stderr which path it was
 *                      given and returns 0, as a decoder that failed.
 */
#include <stdint.h>
#include <stdio.h>

#define FAKE_DECODER_COPY 1
#define FAKE_DECODER_BMP 2
#define FAKE_DECODER_SILENT 3

#ifndef FAKE_DECODER_MODE
#error "FAKE_DECODER_MODE must name a mode"
#endif

#define PHOTO_BYTES 1024
#define DECODED 1
#define FAILED (-1)

#if FAKE_DECODER_MODE == FAKE_DECODER_COPY

int saveWlt2BmpUseFork(const unsigned char *photo, const char *path)
{
    FILE *f = fopen(path, "wb");
    size_t written;

    if (f == NULL)
        return FAILED;
    written = fwrite(photo, 1, PHOTO_BYTES, f);
    fclose(f);
    return written == PHOTO_BYTES ? DECODED : FAILED;
}

#elif FAKE_DECODER_MODE == FAKE_DECODER_BMP

#define WIDTH 102
#define HEIGHT 126
#define FILE_HEADER_BYTES 14
#define INFO_HEADER_BYTES 40
#define BITS_PER_PIXEL 24
#define ROW_BYTES ((WIDTH * 3 + 3) / 4 * 4)

static void put16(unsigned char *p, uint16_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}

static void put32(unsigned char *p, uint32_t v)
{
    put16(p, (uint16_t)v);
    put16(p + 2, (uint16_t)(v >> 16));
}

int saveWlt2BmpUseFork(const unsigned char *photo, const char *path)
{
    unsigned char header[FILE_HEADER_BYTES + INFO_HEADER_BYTES] = {'B', 'M'};
    const uint32_t pixels = ROW_BYTES * HEIGHT;
    put32(header + 2, (uint32_t)sizeof header + pixels);
    put32(header + 10, (uint32_t)sizeof header);
    put32(header + 14, INFO_HEADER_BYTES);
    put32(header + 18, WIDTH);
    put32(header + 22, HEIGHT);
    put16(header + 26, 1);
    put16(header + 28, BITS_PER_PIXEL);
    put32(header + 34, pixels);

    FILE *out = fopen(path, "wb");
    if (out == NULL)
        return FAILED;
    fwrite(header, 1, sizeof header, out);
    unsigned char row[ROW_BYTES] = {0};
    for (int y = 0; y < HEIGHT; ++y) {
        for (int x = 0; x < WIDTH; ++x) {
            const unsigned char b = photo[(y / 8 * 13 + x / 8) % PHOTO_BYTES];
            row[x * 3] = (unsigned char)(96 + b / 4);
            row[x * 3 + 1] = (unsigned char)(64 + (x + y) / 2);
            row[x * 3 + 2] = (unsigned char)(160 - y / 2);
        }
        fwrite(row, 1, sizeof row, out);
    }
    return fclose(out) == 0 ? DECODED : FAILED;
}

#elif FAKE_DECODER_MODE == FAKE_DECODER_SILENT

int saveWlt2BmpUseFork(const unsigned char *photo, const char *path)
{
    (void)photo;
    fprintf(stderr, "test decoder: asked to write %s\n", path != NULL ? path : "(null)");
    return 0;
}

#else
#error "unknown FAKE_DECODER_MODE"
#endif
