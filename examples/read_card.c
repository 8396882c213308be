// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * Reads one identity card through vessik_read and prints whose it is.
 *
 *   read_card [SECONDS]     waits up to SECONDS (default 10) for a card;
 *                           Ctrl-C cancels the wait
 *
 * Build: cc read_card.c $(pkg-config --cflags --libs vessik) -o read_card
 * Exit status 0 with a card, 1 without (the reason on stderr).
 */
#define _DEFAULT_SOURCE /* explicit_bzero */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vessik_read.h>

#define DEFAULT_WAIT_S 10
#define MS_PER_S 1000u

/* vessik_cancel is safe in a signal handler: the read ends within 200 ms. */
static void cancel_read(int signo)
{
    (void)signo;
    vessik_cancel();
}

static const char *check_character(int id_check)
{
    switch (id_check) {
    case VESSIK_ID_CHECK_OK:
        return "correct";
    case VESSIK_ID_CHECK_WRONG:
        return "WRONG";
    default:
        return "not applicable";
    }
}

int main(int argc, char **argv)
{
    vessik_read_options options;
    vessik_card card;
    const unsigned long wait_s = argc > 1 ? strtoul(argv[1], NULL, 10) : DEFAULT_WAIT_S;
    int rc;

    vessik_read_options_init(&options);
    options.deadline_ms = (unsigned)(wait_s * MS_PER_S); /* 0 would wait for ever */
    vessik_card_init(&card);
    signal(SIGINT, cancel_read);

    rc = vessik_read(&options, &card);
    if (rc != VESSIK_OK) {
        fprintf(stderr, "read_card: %s\n", vessik_strerror(rc));
        return 1;
    }
    /* The texts are UTF-8 with control characters already replaced: safe
     * to print as they are. */
    printf("type:    %s\n", vessik_card_type_name(card.type));
    printf("name:    %s\n", card.name);
    printf("number:  %s (check character %s)\n", card.id_number, check_character(card.id_check));
    printf("valid:   %s to %s\n", card.valid_from, card.valid_to);
    printf("reader:  %s\n", card.reader);

    /* What a card holds is personal: wipe it once it is no longer needed. */
    explicit_bzero(&card, sizeof card);
    return 0;
}
