// SPDX-License-Identifier: LGPL-2.1-or-later
/*
 * libvessik extended read: readers as objects (several in one process), a
 * lossless card record, deadlines, cancellation, the card types that share
 * the readers. It sits beside the documented interface of vessik.h and uses
 * the same poll engine.
 *
 * It grows without breaking: result codes and fields are only appended, and
 * every struct it takes or fills carries its size first. The library accepts
 * any size from the first published one upward, uses the fields the caller
 * has and leaves the rest alone. It never writes to standard output or
 * standard error: set a log handler to see its diagnostics.
 * Compiles as C99 and as C++.
 */
#ifndef VESSIK_READ_H
#define VESSIK_READ_H

#include "vessik.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this interface. 1: vessik_read only; 2: reader handles
 * (USB and serial), sized structs, the log handler, the whole card
 * (fingerprints, appended address, unknown types, damaged fields); 3: cancel
 * tokens, a status callback with a context, vessik_reader_wait_removed (the
 * card lifted), the photo decoded in memory (vessik_image) and as PNG,
 * answer-driven reads. The library reports its own through
 * vessik_read_api_version(). */
#define VESSIK_READ_API_VERSION 3

/* Results. Codes are only ever appended, never renumbered. */
#define VESSIK_OK 0
#define VESSIK_E_TIMEOUT (-1)       /* no card before the deadline */
#define VESSIK_E_CANCELLED (-2)     /* vessik_cancel() stopped the read */
#define VESSIK_E_NO_READER (-3)     /* the reader is absent or cannot be opened */
#define VESSIK_E_READER_LOST (-4)   /* the reader went away during the read */
#define VESSIK_E_BAD_ARGUMENT (-5)  /* a null pointer, or a struct of too small a size */
#define VESSIK_E_BUSY (-6)          /* another read is running on the same reader */
#define VESSIK_E_NOT_SUPPORTED (-7) /* the reader or its module cannot do what was asked */
#define VESSIK_E_BAD_LOCATION (-8)  /* a reader location that is not well formed */
#define VESSIK_E_READER_IN_USE (-9) /* another program holds the reader */
#define VESSIK_E_ACCESS (-10)       /* no permission to open the reader */
#define VESSIK_E_NO_MEMORY (-11)
/* Since version 3. */
#define VESSIK_E_DECODER_FAILED (-12) /* the photo decoder wrote no image */
/* The photo decoder's file is not one to read: not a regular file of this
 * user, not a 24-bit BMP, or of no plausible size. */
#define VESSIK_E_BAD_IMAGE (-13)

/* Card types, told apart by the type marker at bytes 248-249 of the text. */
#define VESSIK_CARD_RESIDENT 1          /* resident identity card (no marker) */
#define VESSIK_CARD_FOREIGN_PERMANENT 2 /* foreign permanent resident card ("I") */
#define VESSIK_CARD_HMT_PERMIT 3        /* Hong Kong/Macau/Taiwan residence permit ("J") */
/* A marker the library does not know: no field is decoded, the raw text
 * block and photo are given. */
#define VESSIK_CARD_UNKNOWN 4

/* What became of an item a read may ask for beside the text and the photo. */
#define VESSIK_ITEM_NOT_ASKED 0
#define VESSIK_ITEM_PRESENT 1 /* read, in the card */
#define VESSIK_ITEM_ABSENT 2  /* the card has none */
/* The module refused the command; the rest was read without it. */
#define VESSIK_ITEM_UNSUPPORTED 3
#define VESSIK_ITEM_NOT_READ 4 /* the module gave no usable answer; the rest was read */

/* The identity number's check character (ISO 7064 MOD 11-2). */
#define VESSIK_ID_CHECK_NOT_APPLICABLE (-1)
#define VESSIK_ID_CHECK_WRONG 0
#define VESSIK_ID_CHECK_OK 1

#define VESSIK_DEFAULT_POLL_INTERVAL_MS 100

/* A cancel that stays: once vessik_cancel_token_cancel has been called, every
 * read or wait given the token ends with VESSIK_E_CANCELLED (at once when it
 * has not begun, within 200 ms when it runs) until vessik_cancel_token_reset.
 * One token may serve several reads and readers. Since version 3. */
typedef struct vessik_cancel_token vessik_cancel_token;

/* Status messages with the caller's context: kind 3 and the same texts as
 * ReadInfoCallback. Called on the thread that reads. Since version 3. */
typedef void (*vessik_status_callback)(int kind, const char *text, void *context);

typedef struct vessik_read_options {
    unsigned int size;             /* sizeof(vessik_read_options), set by _init */
    unsigned int deadline_ms;      /* 0: wait for a card for ever */
    unsigned int poll_interval_ms; /* pause between finds with no card; 0: the default */
    int report_same_card;          /* nonzero: a card left on the reader is reported again;
                                    * zero: a read that starts within a second of the
                                    * last one ends holds back the card that read took
                                    * until the reader has seen it gone */
    ReadInfoCallback callback;     /* status messages (kind 3), or NULL */
    /* Since version 2. */
    int want_fingerprints;     /* nonzero: the fingerprint templates too */
    int want_appended_address; /* nonzero: the newest address appended to the card too */
    /* Since version 3. */
    vessik_cancel_token *cancel_token;      /* ends the read or wait when cancelled, or NULL */
    vessik_status_callback status_callback; /* status messages with callback_context, or NULL;
                                             * called beside callback when both are set */
    void *callback_context;
    int answer_driven; /* nonzero: after a read command, take the module's answer as soon as
                        * it is whole instead of sleeping the fixed 0.9 s first (within the
                        * same budget); off by default until captures of real modules
                        * confirm it */
} vessik_read_options;

/* Every text is NUL-terminated UTF-8 and never cut: each array holds the
 * longest text its card field can decode to. Fields a card type does not
 * carry are empty. Set size (vessik_card_init does) before a read.
 *
 * The texts are safe to print anywhere: control characters (U+0000-U+001F,
 * U+007F-U+009F) and unpaired surrogates of the card's text become U+FFFD,
 * and the digit fields (sex, birth, valid_from, a resident's nationality,
 * the resident's and the permit's number, the permit's issue count, the
 * foreign card's version) keep only 0-9, X and x. A field that needed any
 * of this has its VESSIK_FIELD_* bit in damaged_fields. text_block keeps
 * the card's bytes as they are. */
typedef struct vessik_card {
    unsigned int size;    /* sizeof(vessik_card) as the caller knows it */
    int type;             /* VESSIK_CARD_* */
    char name[46];        /* resident, permit: the name; foreign: the Chinese name */
    char name_en[181];    /* foreign: the English name */
    char sex[4];          /* "1" male, "2" female */
    char nation_code[10]; /* resident: two digits; foreign: three-letter country code */
    char nation_name[13]; /* resident: the nationality's name, empty for a code without one */
    char birth[25];       /* YYYYMMDD */
    char address[106];    /* resident, permit */
    char id_number[55];   /* resident, permit: 18 characters; foreign: the card number */
    char authority[46];   /* resident, permit: issuing authority; foreign: authority code */
    char valid_from[25];  /* YYYYMMDD */
    char valid_to[25];    /* YYYYMMDD, or the card's own text for "long-term" */
    char pass_number[28]; /* permit */
    char issue_count[7];  /* permit */
    char version[7];      /* foreign */
    int id_check;         /* VESSIK_ID_CHECK_*: reported, never enforced */
    unsigned char text_block[256]; /* the card text as the card gives it */
    unsigned char photo[1024];     /* the compressed photo as the card gives it */
    unsigned int find_us;          /* how long finding, selecting and reading the card took */
    unsigned int select_us;
    unsigned int read_us;
    unsigned int decode_us;
    char reader[96];                  /* the location of the reader that read it */
    char type_marker[8];              /* the type marker as text: "", "I", "J" or one unknown */
    int fingerprint_state;            /* VESSIK_ITEM_* */
    int fingerprint_count;            /* templates: 0, 1 or 2 */
    unsigned int fingerprint_bytes;   /* bytes of templates in fingerprints (512 each) */
    unsigned char fingerprints[1024]; /* the templates as the card gives them */
    int appended_address_state;       /* VESSIK_ITEM_* */
    char appended_address[106];       /* UTF-8, whole */
    unsigned int appended_address_raw_bytes;
    unsigned char appended_address_raw[256]; /* the answer's payload as the module gives it */
    unsigned int damaged_fields; /* VESSIK_FIELD_* bits of fields whose card text was replaced
                                  * or dropped in part (see above) */
} vessik_card;

/* Bits of vessik_card.damaged_fields, one for each text field. */
#define VESSIK_FIELD_NAME (1u << 0)
#define VESSIK_FIELD_NAME_EN (1u << 1)
#define VESSIK_FIELD_SEX (1u << 2)
#define VESSIK_FIELD_NATION_CODE (1u << 3)
#define VESSIK_FIELD_BIRTH (1u << 4)
#define VESSIK_FIELD_ADDRESS (1u << 5)
#define VESSIK_FIELD_ID_NUMBER (1u << 6)
#define VESSIK_FIELD_AUTHORITY (1u << 7)
#define VESSIK_FIELD_VALID_FROM (1u << 8)
#define VESSIK_FIELD_VALID_TO (1u << 9)
#define VESSIK_FIELD_PASS_NUMBER (1u << 10)
#define VESSIK_FIELD_ISSUE_COUNT (1u << 11)
#define VESSIK_FIELD_VERSION (1u << 12)
#define VESSIK_FIELD_APPENDED_ADDRESS (1u << 13)
#define VESSIK_FIELD_TYPE_MARKER (1u << 14)

/* The first published sizes: where the last field of the first version of
 * each struct ends. The library refuses smaller sizes. */
#define VESSIK_STRUCT_END(type, field) (offsetof(type, field) + sizeof(((type *)0)->field))
#define VESSIK_READ_OPTIONS_SIZE_V1 VESSIK_STRUCT_END(vessik_read_options, callback)
#define VESSIK_CARD_SIZE_V2 VESSIK_STRUCT_END(vessik_card, reader)

/* A decoded photo: width x height pixels, 3 bytes each (red, green, blue),
 * rows top row first with no padding between them. Set size
 * (vessik_image_init does) before vessik_photo_decode fills it; release it
 * with vessik_image_free, which wipes the pixels. Since version 3. */
typedef struct vessik_image {
    unsigned int size; /* sizeof(vessik_image) as the caller knows it */
    unsigned int width;
    unsigned int height;
    unsigned char *rgb; /* width * height * 3 bytes, owned by the library */
    size_t rgb_bytes;
} vessik_image;

#define VESSIK_IMAGE_SIZE_V3 VESSIK_STRUCT_END(vessik_image, rgb_bytes)

/* The largest width and height a decoded photo may have, in pixels (a card
 * portrait is 102 x 126). */
#define VESSIK_IMAGE_MAX_SIDE 1024

/* Transports. */
#define VESSIK_TRANSPORT_USB 1
#define VESSIK_TRANSPORT_SERIAL 2

/* One reader, as vessik_reader_list and vessik_reader_get_info describe it. */
typedef struct vessik_reader_info {
    unsigned int size;        /* sizeof(vessik_reader_info) as the caller knows it */
    int transport;            /* VESSIK_TRANSPORT_* */
    char location[96];        /* the `where` that opens this reader again */
    unsigned short vendor_id; /* USB: the device's ids */
    unsigned short product_id;
    /* The module's identifier: the raw bytes after the status of its answer
     * to the 12 FF query, and the same bytes as hex digits. Known once the
     * reader has been opened (vessik_reader_get_info); empty in a list. */
    int module_id_len;
    unsigned char module_id[64];
    char module_id_hex[129];
} vessik_reader_info;

#define VESSIK_READER_INFO_SIZE_V2 VESSIK_STRUCT_END(vessik_reader_info, module_id_hex)

/* An open reader. */
typedef struct vessik_reader vessik_reader;

/* Log levels for vessik_set_log_handler. */
#define VESSIK_LOG_ERROR 1
#define VESSIK_LOG_WARNING 2
#define VESSIK_LOG_INFO 3
#define VESSIK_LOG_DEBUG 4
#define VESSIK_LOG_TRACE 5

/* Receives the interface's diagnostics: one line, no line end, valid only
 * during the call. Called on the thread that caused the message. */
typedef void (*vessik_log_handler)(int level, const char *message, void *context);

/* The VESSIK_READ_API_VERSION the library was built with. */
VESSIK_EXPORT int vessik_read_api_version(void);

/* Fills options with the defaults: no deadline, 100 ms interval, a card
 * reported once per presentation, no callback. */
VESSIK_EXPORT void vessik_read_options_init(vessik_read_options *options);

/* Zeroes a card and sets its size. */
VESSIK_EXPORT void vessik_card_init(vessik_card *card);

/* Zeroes a reader info and sets its size. */
VESSIK_EXPORT void vessik_reader_info_init(vessik_reader_info *info);

/* Every reader this process could open: USB readers by their ids, in bus
 * order, then the serial ports named in the environment variable
 * VESSIK_SERIAL_READERS ("/dev/ttyUSB0:/dev/ttyS1@57600"; ports are never
 * probed blindly). A serial port's module is asked for its identifier only
 * with VESSIK_SERIAL_PROBE=1. Fills up to `capacity` infos (each with its
 * size set) and returns how many readers there are, which may be more than
 * capacity; or a negative VESSIK_E_* code. infos may be NULL when capacity
 * is 0. */
VESSIK_EXPORT int vessik_reader_list(vessik_reader_info *infos, int capacity);

/* Opens a reader and keeps it until vessik_reader_close:
 *   "usb"              the first USB reader;
 *   "usb:1-2.3"        the USB reader in one socket (bus 1, ports 2.3);
 *   "serial:/dev/ttyUSB0"         a security module on a serial line, 115200 8N1;
 *   "serial:/dev/ttyS1@57600"     the same at another rate (9600, 19200, 38400,
 *                                 57600 or 115200).
 * A serial port is taken for this process alone: another program that opens
 * it through the library gets VESSIK_E_READER_IN_USE.
 * VESSIK_OK with *reader set, or VESSIK_E_BAD_LOCATION, VESSIK_E_NO_READER,
 * VESSIK_E_READER_IN_USE, VESSIK_E_ACCESS. */
VESSIK_EXPORT int vessik_reader_open(const char *where, vessik_reader **reader);

/* Waits for a card on this reader (within the deadline) and reads it into
 * card (whose size must be set). Reads on different readers may run at once
 * from different threads; a second read on the same reader returns
 * VESSIK_E_BUSY at once. card is written only for VESSIK_OK. */
VESSIK_EXPORT int vessik_reader_read(vessik_reader *reader, const vessik_read_options *options,
                                     vessik_card *card);

/* Makes a read in progress on this reader return VESSIK_E_CANCELLED within
 * 200 ms. Safe from any thread and from a signal handler; a cancel with no
 * read in progress has no effect. */
VESSIK_EXPORT void vessik_reader_cancel(vessik_reader *reader);

/* Waits until the card last read on this reader has left it, by the
 * cheapest exchange the module allows (a find and a select; the card's data
 * are read again only where the module cannot tell cards apart otherwise).
 * options gives the deadline, the poll interval, the cancel token and the
 * callbacks; NULL for the defaults.
 *   VESSIK_OK              the card has gone (at once when no card was read,
 *                          or its going was reported already); a different
 *                          card laid in its place counts as gone, and the
 *                          next read reports it;
 *   VESSIK_E_TIMEOUT       the deadline came while it lay there;
 *   VESSIK_E_CANCELLED     vessik_reader_cancel or the cancel token;
 *   VESSIK_E_NOT_SUPPORTED the module does not find a card it has read until
 *                          the card has left the field, so it cannot tell
 *                          a lifted card from one lying there;
 *   VESSIK_E_BUSY, VESSIK_E_READER_LOST, VESSIK_E_BAD_ARGUMENT.
 * Since version 3. */
VESSIK_EXPORT int vessik_reader_wait_removed(vessik_reader *reader,
                                             const vessik_read_options *options);

/* Closes the reader and frees the handle. No read may be running on it. */
VESSIK_EXPORT void vessik_reader_close(vessik_reader *reader);

/* Moves a serial module to another rate (the module's 60 xx command) and
 * goes on at that rate; the reader's location then names it. VESSIK_OK,
 * VESSIK_E_BAD_ARGUMENT for a rate the modules do not offer,
 * VESSIK_E_NOT_SUPPORTED for a USB reader or a module without the command,
 * VESSIK_E_TIMEOUT when the module did not move (the old rate is kept),
 * VESSIK_E_BUSY while a read runs. */
VESSIK_EXPORT int vessik_reader_set_rate(vessik_reader *reader, int rate);

/* Describes an open reader, its module identifier included. */
VESSIK_EXPORT int vessik_reader_get_info(vessik_reader *reader, vessik_reader_info *info);

/* The default reader ("usb"): opens it, waits for a card (within the
 * deadline), reads it into card, and closes the reader again. options may be
 * NULL for the defaults. One read at a time per process on it. */
VESSIK_EXPORT int vessik_read(const vessik_read_options *options, vessik_card *card);

/* vessik_reader_cancel for the default reader's vessik_read. */
VESSIK_EXPORT void vessik_cancel(void);

/* A new cancel token, not cancelled; NULL without memory. Since version 3. */
VESSIK_EXPORT vessik_cancel_token *vessik_cancel_token_new(void);
/* Cancels every read and wait that uses the token, now and until it is
 * reset. Safe from any thread and from a signal handler. */
VESSIK_EXPORT void vessik_cancel_token_cancel(vessik_cancel_token *token);
/* Makes the token usable again; no read may be using it. */
VESSIK_EXPORT void vessik_cancel_token_reset(vessik_cancel_token *token);
/* Nonzero once the token has been cancelled and not reset since. */
VESSIK_EXPORT int vessik_cancel_token_is_cancelled(const vessik_cancel_token *token);
/* Frees the token; no read may be using it. NULL is ignored. */
VESSIK_EXPORT void vessik_cancel_token_free(vessik_cancel_token *token);

/* Sends the interface's diagnostics up to `level` (VESSIK_LOG_*) to fn; a
 * null fn or level 0 turns them off (the default). Card contents are never
 * logged. */
VESSIK_EXPORT void vessik_set_log_handler(int level, vessik_log_handler fn, void *context);

/* A short English text for a result code; never NULL. */
VESSIK_EXPORT const char *vessik_strerror(int code);

/* A text for a card type: "resident", "foreign-permanent", "hmt-permit",
 * "unknown". */
VESSIK_EXPORT const char *vessik_card_type_name(int type);

/* Zeroes an image and sets its size. Since version 3. */
VESSIK_EXPORT void vessik_image_init(vessik_image *image);

/* Turns the card's 1024 compressed photo bytes into pixels through the photo
 * decoder the process has loaded (saveWlt2BmpUseFork, the function SaveImage
 * calls). The decoder writes a BMP into a folder made for this call alone
 * (mode 0700, a fresh name under $TMPDIR or /tmp); the library reads it back
 * only when it is a regular file of this user, checks that it is a 24-bit
 * uncompressed BMP of at most VESSIK_IMAGE_MAX_SIDE pixels a side, and
 * overwrites and removes it and every other file the decoder left there
 * before it returns. The decoder's result is not judged, its file is.
 * Decoder calls are made one at a time; decodes may be asked for from any
 * thread. image (with its size set) is filled only for VESSIK_OK; the others:
 * VESSIK_E_NOT_SUPPORTED (no decoder, or the kit's stand-in, which decodes
 * nothing), VESSIK_E_DECODER_FAILED, VESSIK_E_BAD_IMAGE, VESSIK_E_NO_MEMORY,
 * VESSIK_E_BAD_ARGUMENT. Since version 3. */
VESSIK_EXPORT int vessik_photo_decode(const unsigned char photo[1024], vessik_image *image);

/* Wipes and frees the image's pixels and zeroes its fields but the size. */
VESSIK_EXPORT void vessik_image_free(vessik_image *image);

/* Encodes the image as a PNG (8-bit RGB) with the system's libpng
 * (libpng16.so.16, loaded on first use). *png receives a buffer of *len
 * bytes that vessik_png_free releases. VESSIK_OK, VESSIK_E_BAD_ARGUMENT,
 * VESSIK_E_NOT_SUPPORTED (libpng cannot be loaded), VESSIK_E_NO_MEMORY.
 * Since version 3. */
VESSIK_EXPORT int vessik_image_to_png(const vessik_image *image, unsigned char **png, size_t *len);

/* Wipes and frees a PNG from vessik_image_to_png; NULL is ignored. */
VESSIK_EXPORT void vessik_png_free(unsigned char *png, size_t len);

#ifdef __cplusplus
}
#endif

#endif /* VESSIK_READ_H */
