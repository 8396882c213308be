// SPDX-License-Identifier: LGPL-2.1-or-later
// The card's portrait as PNG (see portrait_png.h). The library wipes its own
// buffers; the caller wipes `png`.
#include "portrait_png.h"

#include "vessik_read.h"

namespace vessik_tools {

namespace {

Portrait failed(int code, std::string &why)
{
    why = vessik_strerror(code);
    switch (code) {
    case VESSIK_E_NOT_SUPPORTED:
        return Portrait::NoDecoder;
    case VESSIK_E_NO_MEMORY:
        return Portrait::NoMemory;
    default:
        return Portrait::Failed;
    }
}

} // namespace

Portrait portrait_png(const unsigned char *photo, std::string &png, std::string &why)
{
    vessik_image image;
    vessik_image_init(&image);
    int code = vessik_photo_decode(photo, &image);
    if (code != VESSIK_OK)
        return failed(code, why);
    unsigned char *bytes = nullptr;
    size_t len = 0;
    code = vessik_image_to_png(&image, &bytes, &len);
    vessik_image_free(&image);
    // Here the decoder is there: what is not supported is the PNG writer.
    if (code == VESSIK_E_NOT_SUPPORTED) {
        why = "libpng (libpng16.so.16) cannot be loaded to write the PNG";
        return Portrait::NoPngWriter;
    }
    if (code != VESSIK_OK)
        return failed(code, why);
    png.assign(reinterpret_cast<const char *>(bytes), len);
    vessik_png_free(bytes, len);
    return Portrait::Png;
}

} // namespace vessik_tools
