// SPDX-License-Identifier: LGPL-2.1-or-later
// The card's portrait as PNG, for every tool that writes or serves one
// (vessik-read --photo, vessikd's /v1/photo).
#ifndef VESSIK_TOOLS_PORTRAIT_PNG_H
#define VESSIK_TOOLS_PORTRAIT_PNG_H

#include <string>

namespace vessik_tools {

enum class Portrait { Png, NoDecoder, NoPngWriter, Failed, NoMemory };

// Decodes the card's 1024 photo bytes (vessik_photo_decode: the library
// makes the decoder's private folder, checks and removes its file) and
// encodes the pixels as PNG into `png`. NoDecoder while only the kit's
// stand-in answers (it decodes nothing); NoPngWriter when the image came but
// libpng cannot be loaded. Otherwise `why` says what went wrong.
Portrait portrait_png(const unsigned char *photo, std::string &png, std::string &why);

} // namespace vessik_tools

#endif
