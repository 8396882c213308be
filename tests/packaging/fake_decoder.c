/*
 * A photo decoder that is not the kit's stand-in, for checking that a real
 * decoder takes the stand-in's place. It writes nothing and says which
 * path it was given.
 */
#include <stdio.h>

int saveWlt2BmpUseFork(const unsigned char *photo, const char *path)
{
    (void)photo;
    fprintf(stderr, "test decoder: asked to write %s\n", path != NULL ? path : "(null)");
    return 0;
}
