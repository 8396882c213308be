// SPDX-License-Identifier: LGPL-2.1-or-later
// Card text: the card's fixed-width UCS-2LE fields into UTF-8 and ASCII, the
// field layout of every card type that shares these readers, and the
// nationality names. Internal: built with hidden visibility, so none of it
// shows among the library's exported symbols. Nothing here allocates.
#ifndef VESSIK_CARD_TEXT_H
#define VESSIK_CARD_TEXT_H

#include <cstddef>

#include "vessik.h"

struct vessik_card;

namespace vessik {

// ---- The decoders ----

// Encodes one 16-bit unit as UTF-8; each unit stands alone (no surrogate
// pairing). Returns the bytes written (1 to 3), or 0 for a null output or a
// capacity below 6.
int EncodeUtf8(unsigned short unit, unsigned char *out, int capacity);

// Keeps the low byte of every unit: digit fields hold ASCII only. An odd
// width also takes its last byte. Returns the bytes written.
int DecodeDigits(const unsigned char *src, int width, unsigned char *dest);

// Decodes a free-text field into UTF-8 up to its padding. U+0080..U+00FF get
// their two-byte form, so names with U+00B7 stay valid UTF-8. Returns the
// source bytes before the end of the text, not the bytes written (at most 3
// bytes per unit are written).
int DecodeFreeText(const unsigned char *src, int width, unsigned char *dest);

// As DecodeFreeText, but writes at most `room` bytes and never splits a
// character: it stops before the first character that does not fit, so a
// field decoded with room = width - 1 into a zero-filled record stays
// NUL-terminated. Returns the source bytes decoded; less than the text's
// length when the text was cut.
int DecodeFreeTextBounded(const unsigned char *src, int width, unsigned char *dest, int room);

// Writes the UTF-8 name of a nationality code, no terminator. Returns its
// length (3 to 12), 0 for the two codes without a name, -1 outside 1..56.
int NationName(int code, unsigned char *dest);

// Writes the UTF-8 word for a sex code (1 male, 2 female), no terminator.
// Returns 3, or 0 with nothing written for any other code.
int SexWord(int code, unsigned char *dest);

namespace cardtext {

// The card pads every field with space units: the byte pair 20 00.
constexpr unsigned short kPadUnit = 0x0020;
constexpr int kUnitBytes = 2;
// EncodeUtf8 asks for this much room although it writes at most 3 bytes.
constexpr int kUtf8Scratch = 6;
// Longest nationality name: four characters of three bytes each.
constexpr int kNationNameMax = 12;
constexpr int kTextBlockBytes = 256;

// Bytes of the UTF-8 form of one unit.
int Utf8Length(unsigned short unit);

// ---- Where each field sits in the 256-byte text block, per card type ----
struct BlockField {
    int offset;
    int width;
};

namespace resident {
constexpr BlockField kName = {0, 30};
constexpr BlockField kSex = {30, 2};
constexpr BlockField kNation = {32, 4};
constexpr BlockField kBirth = {36, 16};
constexpr BlockField kAddress = {52, 70};
constexpr BlockField kIdNumber = {122, 36};
constexpr BlockField kAuthority = {158, 30};
constexpr BlockField kValidFrom = {188, 16};
constexpr BlockField kValidTo = {204, 16};
} // namespace resident

namespace foreign_permanent {
constexpr BlockField kNameEn = {0, 120};
constexpr BlockField kSex = {120, 2};
constexpr BlockField kCardNumber = {122, 30};
constexpr BlockField kNation = {152, 6};
constexpr BlockField kName = {158, 30};
constexpr BlockField kValidFrom = {188, 16};
constexpr BlockField kValidTo = {204, 16};
constexpr BlockField kBirth = {220, 16};
constexpr BlockField kVersion = {236, 4};
constexpr BlockField kAuthority = {240, 8};
} // namespace foreign_permanent

// The permit keeps the resident layout, with the nationality bytes reserved.
namespace hmt_permit {
using resident::kAddress;
using resident::kAuthority;
using resident::kBirth;
using resident::kIdNumber;
using resident::kName;
using resident::kSex;
using resident::kValidFrom;
using resident::kValidTo;
constexpr BlockField kPassNumber = {220, 18};
constexpr BlockField kIssueCount = {238, 4};
} // namespace hmt_permit

// ---- The text block into the fixed record ----

// How a field of the block goes into idInfo.
enum class FieldCodec { FreeText, Digits };
struct RecordField {
    BlockField block;
    FieldCodec codec;
    size_t record_offset;
    size_t record_width;
};
constexpr RecordField kRecordName = {resident::kName, FieldCodec::FreeText, offsetof(idInfo, name),
                                     sizeof(idInfo::name)};
constexpr RecordField kRecordSex = {resident::kSex, FieldCodec::Digits, offsetof(idInfo, sex),
                                    sizeof(idInfo::sex)};
constexpr RecordField kRecordNation = {resident::kNation, FieldCodec::Digits,
                                       offsetof(idInfo, nation), sizeof(idInfo::nation)};
constexpr RecordField kRecordBirth = {resident::kBirth, FieldCodec::Digits, offsetof(idInfo, birth),
                                      sizeof(idInfo::birth)};
constexpr RecordField kRecordAddress = {resident::kAddress, FieldCodec::FreeText,
                                        offsetof(idInfo, address), sizeof(idInfo::address)};
constexpr RecordField kRecordCardNo = {resident::kIdNumber, FieldCodec::Digits,
                                       offsetof(idInfo, cardno), sizeof(idInfo::cardno)};
constexpr RecordField kRecordAuthority = {resident::kAuthority, FieldCodec::FreeText,
                                          offsetof(idInfo, authority), sizeof(idInfo::authority)};
constexpr RecordField kRecordStart = {resident::kValidFrom, FieldCodec::Digits,
                                      offsetof(idInfo, starttime), sizeof(idInfo::starttime)};
constexpr RecordField kRecordEnd = {resident::kValidTo, FieldCodec::Digits,
                                    offsetof(idInfo, endtime), sizeof(idInfo::endtime)};

// Writes the nationality name over the two code digits in nation when it
// fits the field with room for a terminator; otherwise the digits stay,
// which tells every code apart (a first character alone would not).
void DecodeNation(idInfo *info);

} // namespace cardtext

// Decodes the 256-byte card text block into the record's text fields, in the
// order name, sex, nationality, birth, address, number, authority, validity.
// Each field goes to its place in the record and never past it.
void DecodeCardText(const unsigned char *block, idInfo *info);

// Decodes the text block into the extended card: its type by the marker,
// every field of that type whole, the nationality's name and the identity
// number's check. A marker it does not know leaves every field empty.
// Unlike the fixed record, the texts come out safe to print: control
// characters and unpaired surrogates become U+FFFD, digit fields keep only
// 0-9, X and x, and each field that needed it is marked in damaged_fields.
// The card arrives zeroed; the raw block and photo are the caller's to copy.
void DecodeCardFields(const unsigned char *block, vessik_card *card);

// The payload of the module's answer to 30 03: kept raw (its layout is not
// publicly confirmed) and decoded as UCS-2LE text padded with spaces.
void DecodeAppendedAddress(const unsigned char *payload, int bytes, vessik_card *card);

} // namespace vessik

#endif
