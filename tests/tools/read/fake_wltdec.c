/* A photo decoder for the end-to-end tests, loaded with LD_PRELOAD in place
 * of the stand-in: it "decodes" by writing the compressed bytes unchanged,
 * so a test can tell that vessik-read reports a file that was written. */
#include <stdio.h>

#define PHOTO_BYTES 1024

int saveWlt2BmpUseFork(const unsigned char *photo, const char *path)
{
    FILE *f = fopen(path, "wb");
    size_t written;

    if (f == NULL)
        return -1;
    written = fwrite(photo, 1, PHOTO_BYTES, f);
    fclose(f);
    return written == PHOTO_BYTES ? 1 : -1;
}
