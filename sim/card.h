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

// The fields of a resident identity card, as UTF-8 text.
struct CardFields {
    std::string name;           // Chinese text, up to 15 characters
    std::string sex;            // code: "1" man, "2" woman
    std::string nation;         // two-digit nationality code, e.g. "01"
    std::string birth;          // YYYYMMDD
    std::string address;        // up to 35 characters
    std::string id_number;      // 18 characters, the last one a check character
    std::string authority;      // issuing authority, up to 15 characters
    std::string valid_from;     // YYYYMMDD
    std::string valid_to;       // YYYYMMDD, or the card's own text for "long-term"
    std::vector<uint8_t> photo; // the card's compressed photo, kPhotoBytes long
};

// One field of the text block: its place and width in bytes (two per unit).
struct TextField {
    const char *key; // the card file's key for it
    size_t offset;
    size_t width;
};

// The block's fields in card order; the 36 reserved bytes at 220 follow them.
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

// UTF-8 to UCS-2 code units. Returns false (and says why in `error`) for a
// malformed sequence or a character beyond the Basic Multilingual Plane,
// which UCS-2 cannot carry.
bool utf8_to_ucs2(const std::string &utf8, std::vector<uint16_t> &units, std::string &error);

// The 256-byte text block: every field in UCS-2LE, padded with space units
// (20 00) to its width; the reserved tail is spaces as well. A text too long
// for its field is cut after the last whole unit that fits. Text that
// utf8_to_ucs2 refuses is carried as far as it converts, then padded.
std::array<uint8_t, kTextBlockBytes> build_text_block(const CardFields &card);

// ISO 7064 MOD 11-2 check character of an identity number, '0'..'9' or 'X',
// from its first 17 digits; '\0' when `first17` is not 17 digits.
char id_check_char(const std::string &first17);

// kPhotoBytes of deterministic pseudo-random bytes: a stand-in for the card's
// compressed photo, whose real format is not ours to imitate.
std::vector<uint8_t> photo_from_seed(uint32_t seed);

// Parses a card file: UTF-8 lines "key = value" (blanks around both trimmed),
// '#' starting a comment line, blank lines ignored, CR LF accepted.
// Keys: name, sex, nation, birth, address, id_number, authority, valid_from,
// valid_to, and one of photo_seed (decimal) or photo_hex (2048 hex digits).
// Every key is optional (a missing text is blank, a missing photo is
// photo_from_seed(0)); a key given twice is an error. Values are checked:
// sex 1 or 2, nation two digits, dates YYYYMMDD (valid_to may also be the
// card's long-term text 长期), id_number 17 digits and its check character,
// texts that fit their field. On failure `out` is untouched and `error`
// reads "line N: ...".
bool parse_card_file(const std::string &text, CardFields &out, std::string &error);

// A made-up card that belongs to nobody (region code 990000 does not exist);
// the same as sim/cards/sample.card.
CardFields sample_card();

} // namespace vsim

#endif
