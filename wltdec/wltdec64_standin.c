// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * Stand-in for the photo decoder library libwltdec64.
 *
 * The card's photo is in a compressed form that only the outside decoder
 * understands. This stand-in lets programs link and run without it: it
 * decodes nothing, writes no file and returns a failure result, so a caller
 * never mistakes a missing decoder for a written image.
 */
#include <stdio.h>

#include "vessik.h"

/* Returned while no real decoder is installed. */
#define WLTDEC_STANDIN_RESULT (-1)

int saveWlt2BmpUseFork(const unsigned char *photo, const char *path)
{
    (void)photo;
    fprintf(stderr,
            "libwltdec64: no photo decoder is installed (this is the stand-in), so %s was not "
            "written; link the real libwltdec64 in its place or load it with LD_PRELOAD\n",
            path != NULL ? path : "(null)");
    return WLTDEC_STANDIN_RESULT;
}

/* Lets tools tell the stand-in from a real decoder without calling it. */
int vessik_wltdec_is_standin(void)
{
    return 1;
}
