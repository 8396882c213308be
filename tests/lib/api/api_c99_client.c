// SPDX-License-Identifier: LGPL-2.1-or-later
/* A C99 client of the extended read header: it compiles under -std=c99
 * -pedantic, the functions link with plain names, and the calls that need
 * no card behave (the test bus it links has no reader attached). */
#include <stdio.h>
#include <string.h>

#include "vessik_read.h"

static int failures;

static void expect(int ok, const char *what)
{
    if (!ok) {
        printf("FAIL: %s\n", what);
        failures++;
    }
}

static int all_bytes(const unsigned char *p, size_t n, unsigned char value)
{
    size_t i;
    for (i = 0; i < n; i++) {
        if (p[i] != value)
            return 0;
    }
    return 1;
}

int main(void)
{
    vessik_read_options options;
    vessik_card card;

    vessik_read_options_init(&options);
    expect(options.size == sizeof options, "init sets the size");
    expect(options.poll_interval_ms == VESSIK_DEFAULT_POLL_INTERVAL_MS, "init sets the interval");
    expect(options.callback == NULL && options.deadline_ms == 0, "init clears the rest");

    memset(&card, 0x5A, sizeof card);
    card.size = sizeof card;
    expect(vessik_read(&options, NULL) == VESSIK_E_BAD_ARGUMENT, "null card refused");
    options.deadline_ms = 200;
    expect(vessik_read(&options, &card) == VESSIK_E_NO_READER, "no reader on the bus");
    expect(all_bytes((const unsigned char *)&card + sizeof card.size,
                     sizeof card - sizeof card.size, 0x5A),
           "card untouched");
    vessik_cancel();

    expect(strcmp(vessik_strerror(VESSIK_E_TIMEOUT), vessik_strerror(VESSIK_OK)) != 0,
           "texts differ");
    expect(strcmp(vessik_card_type_name(VESSIK_CARD_HMT_PERMIT), "hmt-permit") == 0, "type name");
    expect(sizeof card.photo == 1024 && sizeof card.text_block == 256, "raw arrays");

    if (failures != 0)
        return 1;
    puts("ok");
    return 0;
}
