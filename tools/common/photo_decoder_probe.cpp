// SPDX-License-Identifier: LGPL-2.1-or-later
// Which photo decoder the process gets (see photo_decoder_probe.h).
#include "photo_decoder_probe.h"

#include <dlfcn.h>

namespace vessik_tools {
namespace {

// What the library calls to write a photo; it resolves it from the process.
const char *const kDecoderEntry = "saveWlt2BmpUseFork";
// Exported only by the kit's stand-in decoder.
const char *const kStandinMarker = "vessik_wltdec_is_standin";

// The shared object that holds `address` (its file and load address), or
// null.
const char *object_of(const void *address, const void **base)
{
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0)
        return nullptr;
    *base = info.dli_fbase;
    return info.dli_fname;
}

} // namespace

PhotoDecoderProbe probe_photo_decoder()
{
    PhotoDecoderProbe result;
    // The same lookup the library's call goes through: a decoder loaded
    // with LD_PRELOAD comes first, even when the stand-in is loaded too.
    const void *entry_base = nullptr;
    result.file = object_of(dlsym(RTLD_DEFAULT, kDecoderEntry), &entry_base);

    const void *marker_base = nullptr;
    if (object_of(dlsym(RTLD_DEFAULT, kStandinMarker), &marker_base) != nullptr)
        result.standin = result.file == nullptr || marker_base == entry_base;
    return result;
}

} // namespace vessik_tools
