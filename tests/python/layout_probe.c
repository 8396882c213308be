// SPDX-License-Identifier: LGPL-2.1-or-later
/* Prints where every field of the structs of vessik_read.h lies, their
 * sizes, and the value of every constant, for the Python package's layout
 * test: one "STRUCT FIELD OFFSET SIZE" or "constant NAME VALUE" a line. */
#include <stddef.h>
#include <stdio.h>

#include "vessik_read.h"

struct entry {
    const char *kind, *name;
    long a, b;
};

/* The table reads best packed, several entries a line. */
// clang-format off
#define FIELD(type, f) {#type, #f, (long)offsetof(type, f), (long)sizeof(((type *)0)->f)}
#define SIZE(type) {#type, "sizeof", 0, (long)sizeof(type)}
#define O(f) FIELD(vessik_read_options, f)
#define C(f) FIELD(vessik_card, f)
#define R(f) FIELD(vessik_reader_info, f)
#define I(f) FIELD(vessik_image, f)
#define K(name) {"constant", #name, (long)(name), 0}

static const struct entry entries[] = {
    O(size), O(deadline_ms), O(poll_interval_ms), O(report_same_card), O(callback),
    O(want_fingerprints), O(want_appended_address), O(cancel_token), O(status_callback),
    O(callback_context), O(answer_driven), SIZE(vessik_read_options), C(size), C(type),
    C(name), C(name_en), C(sex), C(nation_code), C(nation_name), C(birth), C(address),
    C(id_number), C(authority), C(valid_from), C(valid_to), C(pass_number), C(issue_count),
    C(version), C(id_check), C(text_block), C(photo), C(find_us), C(select_us), C(read_us),
    C(decode_us), C(reader), C(type_marker), C(fingerprint_state), C(fingerprint_count),
    C(fingerprint_bytes), C(fingerprints), C(appended_address_state), C(appended_address),
    C(appended_address_raw_bytes), C(appended_address_raw), C(damaged_fields), SIZE(vessik_card),
    R(size),
    R(transport), R(location), R(vendor_id), R(product_id), R(module_id_len), R(module_id),
    R(module_id_hex), SIZE(vessik_reader_info), K(VESSIK_READ_API_VERSION), K(VESSIK_OK),
    K(VESSIK_E_TIMEOUT), K(VESSIK_E_CANCELLED), K(VESSIK_E_NO_READER), K(VESSIK_E_READER_LOST),
    K(VESSIK_E_BAD_ARGUMENT), K(VESSIK_E_BUSY), K(VESSIK_E_NOT_SUPPORTED),
    K(VESSIK_E_BAD_LOCATION), K(VESSIK_E_READER_IN_USE), K(VESSIK_E_ACCESS), K(VESSIK_E_NO_MEMORY),
    K(VESSIK_CARD_RESIDENT), K(VESSIK_CARD_FOREIGN_PERMANENT), K(VESSIK_CARD_HMT_PERMIT),
    K(VESSIK_CARD_UNKNOWN), K(VESSIK_ITEM_NOT_ASKED), K(VESSIK_ITEM_PRESENT), K(VESSIK_ITEM_ABSENT),
    K(VESSIK_ITEM_UNSUPPORTED), K(VESSIK_ITEM_NOT_READ), K(VESSIK_ID_CHECK_NOT_APPLICABLE),
    K(VESSIK_ID_CHECK_WRONG), K(VESSIK_ID_CHECK_OK), K(VESSIK_TRANSPORT_USB),
    K(VESSIK_TRANSPORT_SERIAL), K(VESSIK_LOG_ERROR), K(VESSIK_LOG_WARNING), K(VESSIK_LOG_INFO),
    K(VESSIK_LOG_DEBUG), K(VESSIK_LOG_TRACE), K(VESSIK_E_DECODER_FAILED), K(VESSIK_E_BAD_IMAGE),
    I(size), I(width), I(height), I(rgb), I(rgb_bytes), SIZE(vessik_image)};
// clang-format on

int main(void)
{
    for (size_t i = 0; i < sizeof entries / sizeof entries[0]; ++i)
        printf("%s %s %ld %ld\n", entries[i].kind, entries[i].name, entries[i].a, entries[i].b);
    return 0;
}
