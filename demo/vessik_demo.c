// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * vessik_demo: polls the USB reader once a second on a worker thread and
 * prints every card it reads; the main thread prints a heartbeat line.
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vessik.h"

/* A documentation-range address: the demo talks to no server. */
#define DEMO_SERVICE_ADDRESS "192.0.2.1"
#define DEMO_SERVICE_PORT 19904
#define DEMO_PHOTO_PATH_BYTES 120
#define DEMO_POLL_PAUSE_S 1
#define DEMO_SEX_MALE 1
#define DEMO_FIRST_PRINTABLE 0x20
#define DEMO_DELETE 0x7F
#define DEMO_C1_LEAD 0xC2
#define DEMO_C1_FIRST 0x80
#define DEMO_C1_LAST 0x9F

/* Called by the library, on the worker thread, inside ReadIDCardLib. */
static void OvIDCardCB(int kind, void *message)
{
    if (kind == 1 || kind == 2 || kind == 3)
        printf("OvIdcardCB: %s\r\n", (const char *)message);
}

/* The identity number comes from the card and names a file: anything but
 * digits and X becomes '_', so a card cannot steer the path out of /mnt. */
static void photo_path_for(const char *cardno, size_t cardno_room, char *path, size_t path_room)
{
    char safe[sizeof(((idInfo *)0)->cardno)];
    size_t i;

    for (i = 0; i < cardno_room && i + 1 < sizeof safe && cardno[i] != '\0'; i++) {
        const char c = cardno[i];
        safe[i] = ((c >= '0' && c <= '9') || c == 'X') ? c : '_';
    }
    safe[i] = '\0';
    snprintf(path, path_room, "/mnt/%s.jpg", safe);
}

/* A byte of card text a terminal could act on: C0 controls and DEL. */
static int is_control_byte(unsigned char c)
{
    return c < DEMO_FIRST_PRINTABLE || c == DEMO_DELETE;
}

/* A C1 control (U+0080 to U+009F) in UTF-8: C2 80 to C2 9F. */
static int is_c1_control(const unsigned char *text, size_t left)
{
    return left >= 2 && text[0] == DEMO_C1_LEAD && text[1] >= DEMO_C1_FIRST &&
           text[1] <= DEMO_C1_LAST;
}

/* Prints `label`, the field's text and a line end. The card's text goes to a
 * terminal: its control characters are shown escaped (\x1b) and never sent,
 * so a card cannot clear the screen, recolour it or forge a line. */
static void print_field(const char *label, const char *text, size_t room)
{
    const unsigned char *bytes = (const unsigned char *)text;
    const size_t len = strnlen(text, room);
    size_t i;

    fputs(label, stdout);
    for (i = 0; i < len; i++) {
        if (is_control_byte(bytes[i])) {
            printf("\\x%02x", bytes[i]);
        } else if (is_c1_control(bytes + i, len - i)) {
            printf("\\x%02x\\x%02x", bytes[i], bytes[i + 1]);
            i++;
        } else {
            putchar(bytes[i]);
        }
    }
    putchar('\n');
}

static void print_card(const idInfo *info)
{
    char path[DEMO_PHOTO_PATH_BYTES];

    printf("Usage:");
    print_field("\tname:", info->name, sizeof info->name);
    print_field("\tcardno:", info->cardno, sizeof info->cardno);
    print_field("\taddress:", info->address, sizeof info->address);
    print_field("\tnation:", info->nation, sizeof info->nation);
    if (atoi(info->sex) == DEMO_SEX_MALE)
        puts("\tsex:男");
    else
        puts("\tsex:女");
    print_field("\tbirdth :", info->birth, sizeof info->birth);
    print_field("\tethnicity:", info->authority, sizeof info->authority);
    print_field("\tstarttime:", info->starttime, sizeof info->starttime);
    print_field("\tendtime:", info->endtime, sizeof info->endtime);

    photo_path_for(info->cardno, sizeof info->cardno, path, sizeof path);
    printf("\t%s\n", path);
    SaveImage(info->photo, path);
}

static void print_ic_data(const idInfo *info)
{
    /* Never past the field, whatever length a library reports. */
    const int max_len = (int)sizeof info->ic_data;
    const int len = info->ic_len < max_len ? info->ic_len : max_len;
    int i;

    puts("ICUsage:");
    printf("Size :%d\r\n", info->ic_len);
    for (i = 0; i < len; i++)
        printf("%02x ", info->ic_data[i]);
    puts("\r");
}

static void *Readcard_thread(void *arg)
{
    idInfo info;

    (void)arg;
    for (;;) {
        int result;

        memset(&info, 0, sizeof info);
        result = ReadIDCardLib(&info, VESSIK_READER_USB);
        if (result == VESSIK_RESULT_CARD_READ)
            print_card(&info);
        else if (result == VESSIK_RESULT_IC_DATA)
            print_ic_data(&info);
        sleep(DEMO_POLL_PAUSE_S);
    }
    return NULL;
}

int main(int argc, char **argv)
{
    pthread_t worker;

    (void)argc;
    (void)argv;
    /* Lines show up at once even when the output goes to a pipe or a file. */
    setvbuf(stdout, NULL, _IOLBF, 0);

    SetServiceInfo(DEMO_SERVICE_ADDRESS, DEMO_SERVICE_PORT);
    CARD_SetReadInfoCB(OvIDCardCB);
    pthread_create(&worker, NULL, Readcard_thread, NULL);
    pthread_detach(worker);
    for (;;) {
        puts("...\r");
        sleep(DEMO_POLL_PAUSE_S);
    }
}
