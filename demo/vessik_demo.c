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

static void print_card(const idInfo *info)
{
    char path[DEMO_PHOTO_PATH_BYTES];

    printf("Usage:");
    printf("\tname:%s\n", info->name);
    printf("\tcardno:%s\n", info->cardno);
    printf("\taddress:%s\n", info->address);
    printf("\tnation:%s\n", info->nation);
    if (atoi(info->sex) == DEMO_SEX_MALE)
        puts("\tsex:男");
    else
        puts("\tsex:女");
    printf("\tbirdth :%s\n", info->birth);
    printf("\tethnicity:%s\n", info->authority);
    printf("\tstarttime:%s\n", info->starttime);
    printf("\tendtime:%s\n", info->endtime);

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
