// SPDX-License-Identifier: LGPL-2.1-or-later
// The photo decoder of a program of the kit. libvessik calls
// saveWlt2BmpUseFork and takes it from the program that loads it; the kit's
// programs supply it themselves (photo_decoder_probe.cpp) and load the
// decoder at start when there is one, so that they start without it too.
// vessik-doctor names the decoder, vessik-read and vessikd skip the
// stand-in, which decodes nothing.
#ifndef VESSIK_TOOLS_PHOTO_DECODER_PROBE_H
#define VESSIK_TOOLS_PHOTO_DECODER_PROBE_H

#include <string>

namespace vessik_tools {

struct PhotoDecoderProbe {
    // The shared object that supplies saveWlt2BmpUseFork; null: none does.
    const char *file = nullptr;
    // The kit's stand-in answers the call (it alone exports
    // vessik_wltdec_is_standin). A real decoder loaded with LD_PRELOAD takes
    // the call over while the stand-in stays loaded.
    bool standin = false;
    // With no decoder: why libwltdec64.so did not load (dlerror's text).
    std::string load_error;
};

// Finds the decoder: one already in the process (LD_PRELOAD, or linked in),
// else libwltdec64.so where the system's loader finds it. Runs once; the
// programs call it at start, before any thread.
const PhotoDecoderProbe &load_photo_decoder();

// What load_photo_decoder found (loading it first if it has not run).
PhotoDecoderProbe probe_photo_decoder();

} // namespace vessik_tools

#endif
