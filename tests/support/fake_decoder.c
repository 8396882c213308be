// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * A photo decoder that is not the kit's stand-in, put in its place to see
 * what a program does with a decoder's answer. One source, built once for
 * each mode (FAKE_DECODER_MODE, see CMakeLists.txt):
 *   FAKE_DECODER_COPY  "decodes" by writing the compressed bytes unchanged,
 *                      so a test can tell that a reported file was written;
 *   FAKE_DECODER_BMP   writes a 102 x 126 24-bit BMP, the size real decoders
 *                      give a card portrait, whose colours follow the photo
 *                      bytes, so a test (or a browser) sees an image; or,
 *                      named in VESSIK_FAKE_DECODER_FAULT, one of the faults
 *                      a decoder's file can have (listed below);
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

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define WIDTH 102
#define HEIGHT 126
#define FILE_HEADER_BYTES 14
#define INFO_HEADER_BYTES 40
#define OLD_INFO_HEADER_BYTES 12
#define HEADER_BYTES (FILE_HEADER_BYTES + INFO_HEADER_BYTES)
#define BITS_PER_PIXEL 24
#define ROW_BYTES ((WIDTH * 3 + 3) / 4 * 4)
#define GARBAGE_BYTES 4000
#define OVERSIZED_BYTES (5u << 20)
#define WIDE 2000 /* pixels: wider than any portrait the library takes */
#define NOBODY 65534

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

/* The pixel at (x, y) from the top, as the file stores it: blue, green,
 * red. */
static void pixel(const unsigned char *photo, int x, int y, unsigned char *bgr)
{
    const unsigned char b = photo[(y / 8 * 13 + x / 8) % PHOTO_BYTES];
    bgr[0] = (unsigned char)(96 + b / 4);
    bgr[1] = (unsigned char)(64 + (x + y) / 2);
    bgr[2] = (unsigned char)(160 - y / 2);
}

/* What a fault changes in the written BMP. */
struct shape {
    int top_down;         /* rows stored top row first (a negative height) */
    uint16_t bits;        /* bits per pixel in the header */
    int32_t header_width; /* the width the header claims, one row high; 0: the real size */
    int rows;             /* rows of pixels written */
    uint32_t padding;     /* bytes of zeros after the pixels */
    uint32_t info_bytes;  /* the info header's size as the header gives it */
};

static int write_bmp(const unsigned char *photo, const char *path, const struct shape *shape)
{
    unsigned char header[HEADER_BYTES] = {'B', 'M'};
    const uint32_t pixels = ROW_BYTES * HEIGHT;
    const int32_t width = shape->header_width != 0 ? shape->header_width : WIDTH;
    const int32_t height = shape->header_width != 0 ? 1 : HEIGHT;
    put32(header + 2, (uint32_t)sizeof header + pixels);
    put32(header + 10, (uint32_t)sizeof header);
    put32(header + 14, shape->info_bytes);
    put32(header + 18, (uint32_t)width);
    put32(header + 22, (uint32_t)(shape->top_down ? -height : height));
    put16(header + 26, 1);
    put16(header + 28, shape->bits);
    put32(header + 34, pixels);

    FILE *out = fopen(path, "wb");
    if (out == NULL)
        return FAILED;
    fwrite(header, 1, sizeof header, out);
    unsigned char row[ROW_BYTES] = {0};
    for (int i = 0; i < shape->rows; ++i) {
        const int y = shape->top_down ? i : HEIGHT - 1 - i;
        for (int x = 0; x < WIDTH; ++x)
            pixel(photo, x, y, row + x * 3);
        fwrite(row, 1, sizeof row, out);
    }
    for (uint32_t i = 0; i < shape->padding; ++i)
        fputc(0, out);
    return fclose(out) == 0 ? DECODED : FAILED;
}

/* `bytes` bytes that are no BMP (none: an empty file). */
static int write_garbage(const char *path, int bytes)
{
    FILE *out = fopen(path, "wb");
    if (out == NULL)
        return FAILED;
    for (int i = 0; i < bytes; ++i)
        fputc((i * 7 + 3) & 0xFF, out);
    return fclose(out) == 0 ? DECODED : FAILED;
}

/* VESSIK_FAKE_DECODER_FAULT picks a fault for each call (tests set it
 * between calls); unset or empty: a good 102 x 126 BMP, bottom row first.
 *   top-down   the same picture stored top row first
 *   nothing    writes nothing and returns a failure
 *   empty      writes an empty file
 *   garbage    writes bytes that are no BMP
 *   bad-header an info header that says it has 12 bytes
 *   eight-bit  a BMP header that says 8 bits per pixel
 *   wide       a whole BMP of 2000 x 1 pixels
 *   truncated  half of the rows
 *   oversized  a good BMP followed by 5 MiB of zeros
 *   symlink    writes the BMP to VESSIK_FAKE_DECODER_LINK_TARGET and puts
 *              a symbolic link to it at the path it was given
 *   hardlink   the same with a second name (a hard link) at the path
 *   foreign    a good BMP given to user nobody (needs root)
 *   leftover   a good BMP and a copy of it beside, named <path>.part */
int saveWlt2BmpUseFork(const unsigned char *photo, const char *path)
{
    const char *fault = getenv("VESSIK_FAKE_DECODER_FAULT");
    struct shape shape = {0, BITS_PER_PIXEL, 0, HEIGHT, 0, INFO_HEADER_BYTES};
    if (fault == NULL || fault[0] == '\0')
        return write_bmp(photo, path, &shape);
    if (strcmp(fault, "nothing") == 0)
        return FAILED;
    if (strcmp(fault, "garbage") == 0 || strcmp(fault, "empty") == 0)
        return write_garbage(path, fault[0] == 'g' ? GARBAGE_BYTES : 0);
    if (strcmp(fault, "symlink") == 0 || strcmp(fault, "hardlink") == 0) {
        const char *target = getenv("VESSIK_FAKE_DECODER_LINK_TARGET");
        if (target == NULL || write_bmp(photo, target, &shape) != DECODED)
            return FAILED;
        const int linked = fault[0] == 'h' ? link(target, path) : symlink(target, path);
        return linked == 0 ? DECODED : FAILED;
    }
    shape.top_down = strcmp(fault, "top-down") == 0;
    if (strcmp(fault, "bad-header") == 0)
        shape.info_bytes = OLD_INFO_HEADER_BYTES;
    if (strcmp(fault, "eight-bit") == 0)
        shape.bits = 8;
    if (strcmp(fault, "wide") == 0) {
        shape.header_width = WIDE;
        shape.rows = 0;
        shape.padding = WIDE * 3;
    }
    if (strcmp(fault, "truncated") == 0)
        shape.rows = HEIGHT / 2;
    if (strcmp(fault, "oversized") == 0)
        shape.padding = OVERSIZED_BYTES;
    int result = write_bmp(photo, path, &shape);
    if (strcmp(fault, "foreign") == 0 && chown(path, NOBODY, NOBODY) != 0)
        result = FAILED;
    if (strcmp(fault, "leftover") == 0) {
        char part[4096];
        snprintf(part, sizeof part, "%s.part", path);
        result = write_bmp(photo, part, &shape);
    }
    return result;
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
