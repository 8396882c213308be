// SPDX-License-Identifier: LGPL-2.1-or-later
// The identity card of the virtual reader: its fields, the 256-byte UCS-2LE
// text block the security module reads from it, and a small card file format.
// Plain C++, no I/O: whoever loads a card file reads it and hands over the text.
#ifndef VSIM_CARD_H
#define VSIM_CARD_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vsim {

constexpr size_t kTextBlockBytes = 256;
constexpr size_t kPhotoBytes = 1024;
constexpr size_t kIdNumberChars = 18;

// The three card types that share the readers. The text block tells them
// apart by a type marker at bytes 248-249: none, "I" or "J".
enum class CardType { Resident, ForeignPermanent, HmtPermit };

// The fields of a card, as UTF-8 text. A resident card uses the first group
// only; the other types reuse what they share with it and add their own.
struct CardFields {
    std::string name;           // Chinese text, up to 15 characters (foreign: the Chinese name)
    std::string sex;            // code: "1" man, "2" woman
    std::string nation;         // resident: two-digit nationality code, e.g. "01"
    std::string birth;          // YYYYMMDD
    std::string address;        // resident, permit: up to 35 characters
    std::string id_number;      // 18 characters, the last one a check character
                                // (foreign: the card number, up to 15 letters and digits)
    std::string authority;      // resident, permit: issuing authority, up to 15 characters
    std::string valid_from;     // YYYYMMDD
    std::string valid_to;       // YYYYMMDD, or the card's own text for "long-term"
    std::vector<uint8_t> photo; // the card's compressed photo, kPhotoBytes long

    CardType type = CardType::Resident;
    std::string name_en;        // foreign: the English name, up to 60 characters
    std::string nation_code3;   // foreign: three-letter country code
    std::string version;        // foreign: card version, two digits
    std::string authority_code; // foreign: the issuing authority's code, four digits
    std::string pass_number;    // permit: the travel pass number, up to 9 letters and digits
    std::string issue_count;    // permit: how many times the permit was issued, two digits

    // Beyond the text and the photo, any type.
    std::vector<std::vector<uint8_t>> fingerprints; // 0, 1 or 2 templates, kFingerprintBytes each
    std::string appended_address; // the newest address appended after a move, up to 35 characters
    uint16_t marker = 0;          // when not 0, the type marker written instead of the type's own
                                  // (a card of a layout the reader's software does not know)
};

constexpr size_t kFingerprintBytes = 512;
constexpr size_t kFingerprintsMax = 2;
// The appended address: 35 UCS-2LE units, padded with spaces.
constexpr size_t kAppendedAddressBytes = 70;

// One field of the text block: its place and width in bytes (two per unit).
struct TextField {
    const char *key; // the card file's key for it
    size_t offset;
    size_t width;
};

// The resident card's fields in card order; the 36 reserved bytes at 220
// follow them.
constexpr std::array<TextField, 9> kTextFields = {{
    {"name", 0, 30},
    {"sex", 30, 2},
    {"nation", 32, 4},
    {"birth", 36, 16},
    {"address", 52, 70},
    {"id_number", 122, 36},
    {"authority", 158, 30},
    {"valid_from", 188, 16},
    {"valid_to", 204, 16},
}};
constexpr size_t kReservedOffset = 220;
constexpr size_t kReservedBytes = 36;

// The foreign permanent resident card: the marker "I" and 6 reserved bytes follow.
constexpr std::array<TextField, 10> kForeignPermanentFields = {{
    {"name_en", 0, 120},
    {"sex", 120, 2},
    {"id_number", 122, 30},
    {"nation_code3", 152, 6},
    {"name", 158, 30},
    {"valid_from", 188, 16},
    {"valid_to", 204, 16},
    {"birth", 220, 16},
    {"version", 236, 4},
    {"authority_code", 240, 8},
}};

// The Hong Kong/Macau/Taiwan residence permit: the resident layout with the
// nationality's 4 bytes reserved, then 6 reserved bytes, the marker "J" and 6
// more reserved bytes.
constexpr std::array<TextField, 10> kHmtPermitFields = {{
    {"name", 0, 30},
    {"sex", 30, 2},
    {"birth", 36, 16},
    {"address", 52, 70},
    {"id_number", 122, 36},
    {"authority", 158, 30},
    {"valid_from", 188, 16},
    {"valid_to", 204, 16},
    {"pass_number", 220, 18},
    {"issue_count", 238, 4},
}};

// The type marker: one UCS-2LE unit; a resident card leaves it a space.
constexpr size_t kTypeMarkerOffset = 248;
constexpr uint16_t kMarkerForeignPermanent = 'I';
constexpr uint16_t kMarkerHmtPermit = 'J';

// The fields of one card type, in card order.
struct TextLayout {
    const TextField *fields;
    size_t count;
    const TextField *begin() const { return fields; }
    const TextField *end() const { return fields + count; }
};
TextLayout text_layout(CardType type);

// The text behind a card file key (any type's), e.g. "pass_number";
// nullptr for a key that names no text field.
std::string *card_field(CardFields &card, const std::string &key);

// "resident", "foreign-permanent", "hmt-permit": the card file's `type` values.
const char *card_type_name(CardType type);
// False for a text that names no card type.
bool card_type_from_name(const std::string &name, CardType &type);

// UTF-8 to UCS-2 code units. Returns false (and says why in `error`) for a
// malformed sequence or a character beyond the Basic Multilingual Plane,
// which UCS-2 cannot carry.
bool utf8_to_ucs2(const std::string &utf8, std::vector<uint16_t> &units, std::string &error);

// The 256-byte text block in the layout of `card.type`: every field in
// UCS-2LE, padded with space units (20 00) to its width; reserved bytes are
// spaces as well, and the foreign and permit cards carry their type marker.
// Fields the type does not hold are left out. A text too long for its field
// is cut after the last whole unit that fits. Text that utf8_to_ucs2 refuses
// is carried as far as it converts, then padded.
std::array<uint8_t, kTextBlockBytes> build_text_block(const CardFields &card);

// ISO 7064 MOD 11-2 check character of an identity number, '0'..'9' or 'X',
// from its first 17 digits; '\0' when `first17` is not 17 digits.
char id_check_char(const std::string &first17);

// kPhotoBytes of deterministic pseudo-random bytes: a stand-in for the card's
// compressed photo, whose real format is not ours to imitate.
std::vector<uint8_t> photo_from_seed(uint32_t seed);
// kFingerprintBytes of the same kind: a stand-in fingerprint template.
std::vector<uint8_t> fingerprint_from_seed(uint32_t seed);

// The 70 bytes the module answers 30 03 with: the appended address in
// UCS-2LE, padded with spaces.
std::array<uint8_t, kAppendedAddressBytes> build_appended_address(const CardFields &card);

// Parses a card file: UTF-8 lines "key = value" (blanks around both trimmed),
// '#' starting a comment line, blank lines ignored, CR LF accepted.
// `type` (resident, the default, foreign-permanent or hmt-permit) picks the
// layout, wherever it stands in the file; the other keys are the text fields
// of that type's layout (kTextFields, kForeignPermanentFields,
// kHmtPermitFields), and one of photo_seed (decimal) or photo_hex (2048 hex
// digits), fingerprint_seeds (one or two decimal seeds separated by commas:
// that many templates), appended_address (text, up to 35 characters) and
// marker (one character written as the type marker instead of the type's
// own). Every key is optional (a missing text is blank, a missing photo is
// photo_from_seed(0)); a key given twice, or a field the type does not carry,
// is an error. Values are checked: sex 1 or 2, nation two digits,
// nation_code3 three capital letters, version and issue_count two digits,
// authority_code four digits, dates YYYYMMDD (valid_to may also be the card's
// long-term text 长期), id_number 17 digits and its check character (foreign:
// letters and digits), pass_number letters and digits, texts that fit their
// field. On failure `out` is untouched and `error` reads "line N: ...".
bool parse_card_file(const std::string &text, CardFields &out, std::string &error);

// A made-up card that belongs to nobody (region code 990000 does not exist);
// the same as sim/cards/sample.card.
CardFields sample_card();
// Made-up cards of the other two types, the same as
// sim/cards/foreign-permanent.card and sim/cards/hmt-permit.card: the
// country code UTO and region 990000 belong to no one.
CardFields sample_foreign_permanent_card();
CardFields sample_hmt_permit_card();
// The sample card with two fingerprint templates and an appended address,
// the same as sim/cards/sample-fingerprints.card.
CardFields sample_card_with_fingerprints();

} // namespace vsim

#endif
