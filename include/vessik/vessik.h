// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * libvessik: the C interface that clients include.
 *
 * One call, ReadIDCardLib, fills a caller-owned, zero-filled idInfo record
 * from the card on the USB reader. The layout of idInfo is a contract with
 * every client built against this header: offsets and widths never move.
 * This header compiles as C99 and as C++.
 */
#ifndef VESSIK_H
#define VESSIK_H

#include <stddef.h>

#include "vessik_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status callback: kind 3 for connection and progress messages; the text is
 * a NUL-terminated constant of the library, valid for the life of the process. */
typedef void (*ReadInfoCallback)(int kind, void *message);

/* Reader kinds passed to ReadIDCardLib. */
#define VESSIK_READER_SERIAL 0
#define VESSIK_READER_USB 1

/* Results of ReadIDCardLib. */
#define VESSIK_RESULT_UNSUPPORTED_KIND 0
#define VESSIK_RESULT_CARD_READ 1
#define VESSIK_RESULT_IC_DATA 2 /* never produced by this library */
#define VESSIK_RESULT_NO_READER 5

/* Results of SetServiceInfo and SetComInfo besides 0. */
#define VESSIK_RESULT_NULL_TEXT (-101)
#define VESSIK_RESULT_TEXT_TOO_LONG (-102)

/* The identity record, 5512 bytes. Text fields carry no terminator of their
 * own: they read as NUL-terminated strings because the caller zero-fills the
 * record before every read. */
typedef struct idInfo {
    char name[30];                 /*    0: UTF-8 */
    char sex[2];                   /*   30: one ASCII digit, 1 male, 2 female */
    char nation[4];                /*   32: UTF-8 nationality name, or two code digits */
    char birth[16];                /*   36: eight ASCII digits */
    char address[140];             /*   52: UTF-8 */
    char cardno[36];               /*  192: 18 ASCII characters */
    char authority[64];            /*  228: UTF-8 issuing authority */
    char starttime[16];            /*  292: eight ASCII digits */
    char endtime[16];              /*  308: eight ASCII digits */
    unsigned char photo[1024];     /* 324: compressed photo as the card gives it */
    unsigned char reserved1[1024]; /* 1348 */
    int photo_len;                 /* 2372: always 1024 after a read */
    unsigned char reserved2[3073]; /* 2376 */
    unsigned char ic_data[51];     /* 5449: only meaningful for result 2 */
    int ic_len;                    /* 5500 */
    unsigned char reserved3[8];    /* 5504 */
} idInfo;

/* Compile-time layout checks that also work in C99 (no _Static_assert). */
#define VESSIK_LAYOUT_CHECK(tag, cond) typedef char vessik_layout_check_##tag[(cond) ? 1 : -1]
VESSIK_LAYOUT_CHECK(name, offsetof(idInfo, name) == 0);
VESSIK_LAYOUT_CHECK(sex, offsetof(idInfo, sex) == 30);
VESSIK_LAYOUT_CHECK(nation, offsetof(idInfo, nation) == 32);
VESSIK_LAYOUT_CHECK(birth, offsetof(idInfo, birth) == 36);
VESSIK_LAYOUT_CHECK(address, offsetof(idInfo, address) == 52);
VESSIK_LAYOUT_CHECK(cardno, offsetof(idInfo, cardno) == 192);
VESSIK_LAYOUT_CHECK(authority, offsetof(idInfo, authority) == 228);
VESSIK_LAYOUT_CHECK(starttime, offsetof(idInfo, starttime) == 292);
VESSIK_LAYOUT_CHECK(endtime, offsetof(idInfo, endtime) == 308);
VESSIK_LAYOUT_CHECK(photo, offsetof(idInfo, photo) == 324);
VESSIK_LAYOUT_CHECK(reserved1, offsetof(idInfo, reserved1) == 1348);
VESSIK_LAYOUT_CHECK(photo_len, offsetof(idInfo, photo_len) == 2372);
VESSIK_LAYOUT_CHECK(reserved2, offsetof(idInfo, reserved2) == 2376);
VESSIK_LAYOUT_CHECK(ic_data, offsetof(idInfo, ic_data) == 5449);
VESSIK_LAYOUT_CHECK(ic_len, offsetof(idInfo, ic_len) == 5500);
VESSIK_LAYOUT_CHECK(reserved3, offsetof(idInfo, reserved3) == 5504);
VESSIK_LAYOUT_CHECK(size, sizeof(idInfo) == 5512);

/* Reads one card into a zero-filled record. Kind 1 (USB) only.
 * 0: kind not supported; 1: card read; 5: the reader could not be opened
 * or was lost during the read. The record is written only for result 1. */
VESSIK_EXPORT int ReadIDCardLib(idInfo *info, int reader_kind);

/* Stores a server address (at most 31 characters) and port: 0, -101 for a
 * null text, -102 for a text that does not fit. */
VESSIK_EXPORT int SetServiceInfo(const char *address, int port);

/* Stores a serial device path (at most 255 characters) and speed: 0, -101
 * for a null path, -102 for a path that does not fit. */
VESSIK_EXPORT int SetComInfo(const char *path, int speed);

/* Hands the photo to the photo decoder (saveWlt2BmpUseFork) and returns its
 * result unchanged. */
VESSIK_EXPORT int SaveImage(const unsigned char *photo, const char *path);

/* Registers the status callback; a null function is ignored. */
VESSIK_EXPORT void CARD_SetReadInfoCB(ReadInfoCallback fn);

/* A stand-alone USB link to the reader, independent of ReadIDCardLib. */
VESSIK_EXPORT int USB_ConnectUsb(void);
VESSIK_EXPORT void USB_DisConnectUsb(void);

/* Supplied by the photo decoder that the client program links. */
int saveWlt2BmpUseFork(const unsigned char *photo, const char *path);

#ifdef __cplusplus
}
#endif

#endif /* VESSIK_H */
