// SPDX-License-Identifier: LGPL-2.1-or-later
// The card photo as PNG, through the library's decode of the outside
// decoder's image, when a real decoder is installed.
#ifndef VESSIKD_PHOTO_DECODER_H
#define VESSIKD_PHOTO_DECODER_H

#include <string>

namespace vessikd {

class PhotoDecoder {
  public:
    enum class Result { Image, NoDecoder, NoPngWriter, Failed, NoMemory };

    // Decodes the card's 1024 photo bytes (vessik_photo_decode) and encodes
    // the pixels as PNG into `png`. NoDecoder while only the kit's stand-in
    // answers (it decodes nothing); NoPngWriter when the image came but
    // libpng cannot be loaded. On Failed, `detail` says why.
    static Result decode(const unsigned char *photo, std::string &png, std::string &detail);
};

} // namespace vessikd

#endif
