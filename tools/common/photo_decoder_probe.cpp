// SPDX-License-Identifier: LGPL-2.1-or-later
// The photo decoder of a program of the kit (see photo_decoder_probe.h).
#include "photo_decoder_probe.h"

#include <dlfcn.h>
#include <string>

#include "vessik.h" // the entry's declaration, which the definition below must match

namespace vessik_tools {
namespace {

using DecoderEntry = int (*)(const unsigned char *, const char *);

// What the library calls to write a photo; it resolves it from the process.
const char *const kDecoderEntry = "saveWlt2BmpUseFork";
// Exported only by the kit's stand-in decoder.
const char *const kStandinMarker = "vessik_wltdec_is_standin";
// The name programs link the decoder by (-lwltdec64): the alternative's link.
const char *const kDecoderLibrary = "libwltdec64.so";
// What the call returns while no decoder is loaded: a failure, as the
// stand-in's, and no file written.
constexpr int kNoDecoderResult = -1;

struct LoadedDecoder {
    PhotoDecoderProbe probe;
    DecoderEntry entry = nullptr;
};

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

// `entry` found by `lookup` (a handle, or RTLD_NEXT: the objects after this
// program); the stand-in answers when its marker lies in the same object.
LoadedDecoder decoder_at(void *lookup, void *entry)
{
    LoadedDecoder loaded;
    const void *entry_base = nullptr;
    loaded.probe.file = object_of(entry, &entry_base);
    if (loaded.probe.file == nullptr)
        return loaded;
    loaded.entry = reinterpret_cast<DecoderEntry>(entry);
    const void *marker_base = nullptr;
    loaded.probe.standin = object_of(dlsym(lookup, kStandinMarker), &marker_base) != nullptr &&
                           marker_base == entry_base;
    return loaded;
}

LoadedDecoder find_decoder()
{
    // A decoder loaded with LD_PRELOAD (or linked into a test program) comes
    // first, as it would for a program linked with -lwltdec64.
    if (void *entry = dlsym(RTLD_NEXT, kDecoderEntry))
        return decoder_at(RTLD_NEXT, entry);
    void *handle = dlopen(kDecoderLibrary, RTLD_NOW | RTLD_LOCAL);
    LoadedDecoder loaded;
    if (handle == nullptr) {
        const char *why = dlerror();
        loaded.probe.load_error = why != nullptr ? why : "";
        return loaded;
    }
    void *entry = dlsym(handle, kDecoderEntry);
    if (entry == nullptr) {
        loaded.probe.load_error = "libwltdec64.so has no saveWlt2BmpUseFork";
        dlclose(handle);
        return loaded;
    }
    return decoder_at(handle, entry); // kept loaded for the life of the process
}

const LoadedDecoder &loaded_decoder()
{
    static const LoadedDecoder loaded = find_decoder();
    return loaded;
}

} // namespace

const PhotoDecoderProbe &load_photo_decoder()
{
    return loaded_decoder().probe;
}

PhotoDecoderProbe probe_photo_decoder()
{
    return loaded_decoder().probe;
}

} // namespace vessik_tools

// The decoder's entry as the library calls it: this program supplies it
// and passes the call on to the decoder it loaded, or fails without one.
extern "C" __attribute__((visibility("default"))) int saveWlt2BmpUseFork(const unsigned char *photo,
                                                                         const char *path)
{
    const vessik_tools::DecoderEntry entry = vessik_tools::loaded_decoder().entry;
    return entry != nullptr ? entry(photo, path) : vessik_tools::kNoDecoderResult;
}

// Which decoder the entry above passes the call on to, for the library's
// in-memory decode: null with none, or with the stand-in, which decodes
// nothing.
extern "C" __attribute__((visibility("default"))) vessik_tools::DecoderEntry
vessik_tool_photo_decoder()
{
    const vessik_tools::LoadedDecoder &loaded = vessik_tools::loaded_decoder();
    return loaded.probe.standin ? nullptr : loaded.entry;
}
