// SPDX-License-Identifier: LGPL-2.1-or-later
// One JSON form of a vessik_card, shared by every tool that prints or serves
// cards, so that a card looks the same whichever tool produced it.
#ifndef VESSIK_TOOLS_CARD_JSON_H
#define VESSIK_TOOLS_CARD_JSON_H

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vessik_read.h"

namespace vessik_tools {

// Keys keep the order they are written in, so printed cards read top-down.
using Json = nlohmann::ordered_json;

// Every field of the card, whatever its type, in the record's order: texts
// a card type does not carry are empty strings, the raw text block and photo
// are base64, so the object loses nothing.
//
//   type (vessik_card_type_name), name, name_en, sex, nation_code,
//   nation_name, birth, address, id_number, id_check ("ok", "wrong",
//   "not-applicable"), authority, valid_from, valid_to, pass_number,
//   issue_count, version: strings
//   times_us: {find, select, read, decode}
//   text_block, photo: base64 of the 256 and 1024 bytes
//   photo_image: the image file a tool wrote from the photo, or null
//
// and, only where they apply (a plain read's object is the same as ever):
//
//   type_marker: the marker as text, for a card of a type the kit does not
//   know ("type": "unknown"; no field is decoded for it)
//   fingerprint_state (item_state_name), fingerprint_count, fingerprints
//   (base64 of the templates as the card gives them): when the read asked
//   for fingerprints
//   appended_address_state, appended_address, appended_address_raw (base64
//   of the module's answer): when the read asked for the appended address
//   damaged_fields: the names of the fields whose card text was replaced or
//   dropped in part, when there are any
// (tools/vessikd/openapi.json says what each field means).
Json card_to_json(const vessik_card &card, const std::string &photo_image = std::string());

// The text of a JSON value. A byte sequence that is not UTF-8 (a damaged or
// hostile card) comes out as U+FFFD instead of failing. indent < 0: one line.
std::string json_text(const Json &value, int indent = -1);

// "present", "absent", "unsupported", "not-read", "not-asked" for a
// VESSIK_ITEM_* value.
const char *item_state_name(int state);

// "ok", "wrong", "not-applicable" for a VESSIK_ID_CHECK_* value.
const char *id_check_name(int id_check);

// Standard base64 (RFC 4648, with padding).
std::string base64_encode(const unsigned char *data, size_t size);
// false for anything but canonical padded base64.
bool base64_decode(const std::string &text, std::vector<unsigned char> &out);

} // namespace vessik_tools

#endif
