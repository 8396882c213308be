// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * A C99 client built from an installed libvessik alone, as an integrator's
 * program would be. It reads one card and checks what it got:
 *   client none          no reader: the read must answer 5
 *   client card CARDNO   a reader holding the card CARDNO
 * Exit status 0 when the library answered as expected.
 */
#include <stdio.h>
#include <string.h>

#include <vessik.h>

#define CLIENT_PHOTO_BYTES 1024

static int messages;

static void on_status(int kind, void *message)
{
    messages++;
    printf("client: status %d %s\n", kind, (const char *)message);
}

static int expect_no_reader(idInfo *info)
{
    const int result = ReadIDCardLib(info, VESSIK_READER_USB);
    printf("client: usb result %d\n", result);
    return result == VESSIK_RESULT_NO_READER ? 0 : 1;
}

static int expect_card(idInfo *info, const char *cardno)
{
    const int result = ReadIDCardLib(info, VESSIK_READER_USB);
    printf("client: usb result %d\n", result);
    if (result != VESSIK_RESULT_CARD_READ)
        return 1;
    printf("client: name %s cardno %s photo_len %d messages %d\n", info->name, info->cardno,
           info->photo_len, messages);
    /* The photo decoder is the one -lwltdec64 found; its answer is shown. */
    printf("client: SaveImage %d\n", SaveImage(info->photo, "client-photo.bmp"));
    return strcmp(info->cardno, cardno) == 0 && info->photo_len == CLIENT_PHOTO_BYTES &&
                   messages > 0
               ? 0
               : 1;
}

int main(int argc, char **argv)
{
    idInfo info;

    setvbuf(stdout, NULL, _IOLBF, 0);
    CARD_SetReadInfoCB(on_status);

    memset(&info, 0, sizeof info);
    if (ReadIDCardLib(&info, VESSIK_READER_SERIAL) != VESSIK_RESULT_UNSUPPORTED_KIND) {
        puts("client: reader kind 0 was not refused");
        return 1;
    }
    puts("client: kind 0 result 0");

    memset(&info, 0, sizeof info);
    if (argc == 2 && strcmp(argv[1], "none") == 0)
        return expect_no_reader(&info);
    if (argc == 3 && strcmp(argv[1], "card") == 0)
        return expect_card(&info, argv[2]);
    fputs("usage: client none | client card CARDNO\n", stderr);
    return 2;
}
