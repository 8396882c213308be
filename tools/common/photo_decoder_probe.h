// SPDX-License-Identifier: LGPL-2.1-or-later
// Which photo decoder a program of the kit gets, asked of the process the
// way the library's call is resolved: vessik-doctor names it, vessikd skips
// the stand-in, which decodes nothing.
#ifndef VESSIK_TOOLS_PHOTO_DECODER_PROBE_H
#define VESSIK_TOOLS_PHOTO_DECODER_PROBE_H

namespace vessik_tools {

struct PhotoDecoderProbe {
    // The shared object that supplies saveWlt2BmpUseFork; null: none does.
    const char *file = nullptr;
    // The kit's stand-in answers the call: it is loaded (it alone exports
    // vessik_wltdec_is_standin) and no other object supplies the function. A
    // real decoder loaded with LD_PRELOAD takes the function over while the
    // stand-in stays loaded.
    bool standin = false;
};

PhotoDecoderProbe probe_photo_decoder();

} // namespace vessik_tools

#endif
