/*
 * libvessik extended read: a lossless card record, deadlines, cancellation,
 * the three card types that share the readers. It sits beside the documented
 * interface of vessik.h and uses the same poll engine.
 * Compiles as C99 and as C++.
 */
#ifndef VESSIK_READ_H
#define VESSIK_READ_H

#include "vessik.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results of vessik_read. Codes are only ever appended, never renumbered. */
#define VESSIK_OK 0
#define VESSIK_E_TIMEOUT (-1)      /* no card before the deadline */
#define VESSIK_E_CANCELLED (-2)    /* vessik_cancel() stopped the read */
#define VESSIK_E_NO_READER (-3)    /* the reader is absent or cannot be opened */
#define VESSIK_E_READER_LOST (-4)  /* the reader went away during the read */
#define VESSIK_E_BAD_ARGUMENT (-5) /* a null card, or options of an unknown size */
#define VESSIK_E_BUSY (-6)         /* another vessik_read is running */

/* Card types, told apart by the type marker at bytes 248-249 of the text. */
#define VESSIK_CARD_RESIDENT 1          /* resident identity card (no marker) */
#define VESSIK_CARD_FOREIGN_PERMANENT 2 /* foreign permanent resident card ("I") */
#define VESSIK_CARD_HMT_PERMIT 3        /* Hong Kong/Macau/Taiwan residence permit ("J") */

/* The identity number's check character (ISO 7064 MOD 11-2). */
#define VESSIK_ID_CHECK_NOT_APPLICABLE (-1)
#define VESSIK_ID_CHECK_WRONG 0
#define VESSIK_ID_CHECK_OK 1

#define VESSIK_DEFAULT_POLL_INTERVAL_MS 100

typedef struct vessik_read_options {
    unsigned int size;             /* sizeof(vessik_read_options) */
    unsigned int deadline_ms;      /* 0: wait for a card for ever */
    unsigned int poll_interval_ms; /* pause between finds with no card; 0: the default */
    int report_same_card;          /* nonzero: a card left on the reader is reported again;
                                    * zero: a read that starts within a second of the
                                    * last one ends holds back the card that read took
                                    * until the reader has seen it gone */
    ReadInfoCallback callback;     /* status messages (kind 3), or NULL */
} vessik_read_options;

/* Every text is NUL-terminated UTF-8 and never cut: each array holds the
 * longest text its card field can decode to. Fields a card type does not
 * carry are empty. */
typedef struct vessik_card {
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
} vessik_card;

/* Fills options with the defaults: no deadline, 100 ms interval, a card
 * reported once per presentation, no callback. */
VESSIK_EXPORT void vessik_read_options_init(vessik_read_options *options);

/* Opens the reader, waits for a card (within the deadline), reads it into
 * card, and closes the reader again. options may be NULL for the defaults.
 * Returns VESSIK_OK or a negative VESSIK_E_* code; card is written only for
 * VESSIK_OK. One read at a time per process. */
VESSIK_EXPORT int vessik_read(const vessik_read_options *options, vessik_card *card);

/* Makes a vessik_read in progress return VESSIK_E_CANCELLED within 200 ms,
 * with the reader closed. Safe from any thread and from a signal handler; a
 * cancel with no read in progress has no effect. */
VESSIK_EXPORT void vessik_cancel(void);

/* A short English text for a result code; never NULL. */
VESSIK_EXPORT const char *vessik_strerror(int code);

/* A text for a card type: "resident", "foreign-permanent", "hmt-permit". */
VESSIK_EXPORT const char *vessik_card_type_name(int type);

#ifdef __cplusplus
}
#endif

#endif /* VESSIK_READ_H */
