// SPDX-License-Identifier: LGPL-2.1-or-later
/* A C99 client of the public header: the layout checks compile, the C
 * functions link with plain names, and results that need no reader hold. */
#include <stdio.h>
#include <string.h>

#include "vessik.h"

static int failures;

static void expect(int ok, const char *what)
{
    if (!ok) {
        printf("FAIL: %s\n", what);
        failures++;
    }
}

int main(void)
{
    idInfo info;
    unsigned char untouched[sizeof(idInfo)];
    char long_address[40];

    memset(&info, 0x5A, sizeof info);
    memcpy(untouched, &info, sizeof info);

    expect(sizeof(idInfo) == 5512, "record is 5512 bytes");
    expect(ReadIDCardLib(&info, VESSIK_READER_SERIAL) == VESSIK_RESULT_UNSUPPORTED_KIND,
           "kind 0 is not supported");
    expect(memcmp(&info, untouched, sizeof info) == 0, "kind 0 leaves the record alone");
    expect(SetServiceInfo(NULL, 19904) == VESSIK_RESULT_NULL_TEXT, "null address");
    expect(SetServiceInfo("192.0.2.10", 19904) == 0, "address stored");
    memset(long_address, 'a', sizeof long_address - 1);
    long_address[sizeof long_address - 1] = '\0';
    expect(SetServiceInfo(long_address, 1) == VESSIK_RESULT_TEXT_TOO_LONG, "long address refused");
    expect(SetComInfo(NULL, 115200) == VESSIK_RESULT_NULL_TEXT, "null path");
    CARD_SetReadInfoCB(NULL);

    if (failures != 0)
        return 1;
    puts("C99 client ok");
    return 0;
}
