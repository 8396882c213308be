// SPDX-License-Identifier: LGPL-2.1-or-later
// The card photo as PNG (see photo_decoder.h). The library makes the
// decoder's private folder, checks and removes its file and wipes its
// buffers; the PNG string is wiped when freed (wipe_on_free.cpp).
#include "photo_decoder.h"

#include "vessik_read.h"

namespace vessikd {

namespace {

PhotoDecoder::Result result_for(int code, std::string &detail)
{
    detail = vessik_strerror(code);
    switch (code) {
    case VESSIK_E_NOT_SUPPORTED:
        return PhotoDecoder::Result::NoDecoder;
    case VESSIK_E_NO_MEMORY:
        return PhotoDecoder::Result::NoMemory;
    default:
        return PhotoDecoder::Result::Failed;
    }
}

} // namespace

PhotoDecoder::Result PhotoDecoder::decode(const unsigned char *photo, std::string &png,
                                          std::string &detail)
{
    vessik_image image;
    vessik_image_init(&image);
    int code = vessik_photo_decode(photo, &image);
    if (code != VESSIK_OK)
        return result_for(code, detail);
    unsigned char *bytes = nullptr;
    size_t len = 0;
    code = vessik_image_to_png(&image, &bytes, &len);
    vessik_image_free(&image);
    // Here the decoder is there: what is not supported is the PNG writer.
    if (code == VESSIK_E_NOT_SUPPORTED)
        return Result::NoPngWriter;
    if (code != VESSIK_OK)
        return result_for(code, detail);
    png.assign(reinterpret_cast<const char *>(bytes), len);
    vessik_png_free(bytes, len);
    return Result::Image;
}

} // namespace vessikd
