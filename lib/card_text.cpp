// SPDX-License-Identifier: LGPL-2.1-or-later
// Card text decoders: fixed-width UCS-2LE card fields into UTF-8 and ASCII
// bytes, for the fixed record and for the extended card.
#include "card_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include "answer_layout.h"
#include "vessik_read.h"

namespace vessik {

using namespace cardtext;

namespace {

constexpr unsigned kOneByteLimit = 0x80;
constexpr unsigned kTwoByteLimit = 0x800;
constexpr int kSimdBytes = 16; // one SSE2 or NEON register
constexpr int kSimdUnits = kSimdBytes / kUnitBytes;
constexpr int kSexMale = 1;
constexpr int kSexFemale = 2;
constexpr int kSexWordBytes = 3;
constexpr int kNationalFirst = 1;
constexpr int kNationalLast = 56;
constexpr int kNationalNotFound = -1;
constexpr int kNationCodeDigits = 2;

// The national standard's names by code.
const char *const kNationalNames[kNationalLast + 1] = {
    "",     "汉",     "蒙古",   "回",       "藏",     "维吾尔",   "苗",   "彝",     // 0-7
    "壮",   "布依",   "朝鲜",   "满",       "侗",     "瑶",       "白",   "土家",   // 8-15
    "哈尼", "哈萨克", "傣",     "黎",       "傈僳",   "佤",       "畲",   "高山",   // 16-23
    "拉祜", "水",     "东乡",   "纳西",     "景颇",   "柯尔克孜", "土",   "达斡尔", // 24-31
    "仫佬", "羌",     "布朗",   "撒拉",     "毛南",   "仡佬",     "锡伯", "阿昌",   // 32-39
    "普米", "塔吉克", "怒",     "乌孜别克", "俄罗斯", "鄂温克",   "德昂", "保安",   // 40-47
    "裕固", "京",     "塔塔尔", "独龙",     "鄂伦春", "赫哲",     "门巴", "珞巴",   // 48-55
    "基诺"                                                                          // 56
};

// Codes population registers use beyond the 56: "other", and naturalised
// citizens of foreign origin. Named in the extended card only.
struct ExtraNation {
    int code;
    const char *name;
};
constexpr ExtraNation kExtraNations[] = {{97, "其他"}, {98, "外国血统"}};

// Writes the UTF-8 form of one unit, Utf8Length(unit) bytes, and returns its length.
int PutUtf8(unsigned short unit, unsigned char *out)
{
    if (unit < kOneByteLimit) {
        out[0] = static_cast<unsigned char>(unit & 0x7F);
        return 1;
    }
    if (unit < kTwoByteLimit) {
        out[0] = static_cast<unsigned char>(0xC0 | ((unit >> 6) & 0x1F));
        out[1] = static_cast<unsigned char>(0x80 | (unit & 0x3F));
        return 2;
    }
    out[0] = static_cast<unsigned char>(0xE0 | (unit >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((unit >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (unit & 0x3F));
    return 3;
}

// One unit of a field; the card stores them low byte first.
unsigned short UnitAt(const unsigned char *src, int index)
{
    const unsigned char *unit = src + static_cast<ptrdiff_t>(index) * kUnitBytes;
    return static_cast<unsigned short>(unit[0] | (unit[1] << 8));
}

} // namespace

int cardtext::Utf8Length(unsigned short unit)
{
    if (unit < kOneByteLimit)
        return 1;
    return unit < kTwoByteLimit ? 2 : 3;
}

int EncodeUtf8(unsigned short unit, unsigned char *out, int capacity)
{
    if (out == nullptr || capacity < kUtf8Scratch)
        return 0;
    return PutUtf8(unit, out);
}

namespace {

// Eight units at a time where the CPU has 16-byte vectors: each unit's low
// byte (its first byte) into one 8-byte group. Only whole groups inside the
// width are read; returns the units done, which the byte loop goes on from.
int TakeLowBytesInGroups(const unsigned char *src, int width, unsigned char *dest)
{
    int i = 0;
#if defined(__SSE2__)
    const __m128i low_bytes = _mm_set1_epi16(0x00FF);
    for (; kUnitBytes * i + kSimdBytes <= width; i += kSimdUnits) {
        const __m128i units = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(
                                                src + static_cast<ptrdiff_t>(kUnitBytes) * i)),
                                            low_bytes);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(dest + i), _mm_packus_epi16(units, units));
    }
#elif defined(__ARM_NEON)
    // vld2 splits the bytes by position, even ones first: the same on either
    // byte order, where a 16-bit lane's low half would not be.
    for (; kUnitBytes * i + kSimdBytes <= width; i += kSimdUnits)
        vst1_u8(dest + i, vld2_u8(src + static_cast<ptrdiff_t>(kUnitBytes) * i).val[0]);
#else
    (void)src;
    (void)width;
    (void)dest;
#endif
    return i;
}

} // namespace

int DecodeDigits(const unsigned char *src, int width, unsigned char *dest)
{
    if (src == nullptr)
        return 0;
    const int count = width > 0 ? (width + 1) / kUnitBytes : 0;
    for (int i = TakeLowBytesInGroups(src, width, dest); i < count; ++i)
        dest[i] = src[static_cast<ptrdiff_t>(i) * kUnitBytes];
    return count;
}

int DecodeFreeText(const unsigned char *src, int width, unsigned char *dest)
{
    if (src == nullptr)
        return 0;
    const int units = width / kUnitBytes;
    int written = 0;
    int u = 0;
    for (; u < units; ++u) {
        const unsigned short unit = UnitAt(src, u);
        if (unit == kPadUnit)
            break;
        written += EncodeUtf8(unit, dest + written, kUtf8Scratch);
    }
    return u * kUnitBytes;
}

int DecodeFreeTextBounded(const unsigned char *src, int width, unsigned char *dest, int room)
{
    if (src == nullptr)
        return 0;
    const int units = width / kUnitBytes;
    int written = 0;
    int u = 0;
    for (; u < units; ++u) {
        const unsigned short unit = UnitAt(src, u);
        if (unit == kPadUnit || Utf8Length(unit) > room - written)
            break;
        written += PutUtf8(unit, dest + written);
    }
    return u * kUnitBytes;
}

int NationName(int code, unsigned char *dest)
{
    if (code < kNationalFirst || code > kNationalLast)
        return kNationalNotFound;
    const int len = static_cast<int>(strlen(kNationalNames[code]));
    memcpy(dest, kNationalNames[code], static_cast<size_t>(len));
    return len;
}

int SexWord(int code, unsigned char *dest)
{
    static const char kMale[] = "男";
    static const char kFemale[] = "女";
    if (code == kSexMale) {
        memcpy(dest, kMale, kSexWordBytes);
        return kSexWordBytes;
    }
    if (code == kSexFemale) {
        memcpy(dest, kFemale, kSexWordBytes);
        return kSexWordBytes;
    }
    return 0;
}

// ---- The card text block into idInfo ----
// Free text leaves the field's last byte alone (a zero-filled record keeps
// its terminator) and is cut between characters; a nationality name replaces
// the code digits only when it fits the same way.

namespace {

void DecodeRecordField(const unsigned char *block, const RecordField &field, idInfo *info)
{
    unsigned char *dest = reinterpret_cast<unsigned char *>(info) + field.record_offset;
    if (field.codec == FieldCodec::Digits) {
        DecodeDigits(block + field.block.offset, field.block.width, dest);
        return;
    }
    DecodeFreeTextBounded(block + field.block.offset, field.block.width, dest,
                          static_cast<int>(field.record_width) - 1);
}

// The two code digits that were just written into nation, as a number.
int NationCode(const idInfo *info)
{
    int code = 0;
    for (int i = 0; i < kNationCodeDigits && info->nation[i] >= '0' && info->nation[i] <= '9'; ++i)
        code = code * 10 + (info->nation[i] - '0');
    return code;
}

} // namespace

void cardtext::DecodeNation(idInfo *info)
{
    unsigned char name[kNationNameMax];
    const int len = NationName(NationCode(info), name);
    if (len > 0 && len < static_cast<int>(sizeof(info->nation)))
        memcpy(info->nation, name, static_cast<size_t>(len));
}

void DecodeCardText(const unsigned char *block, idInfo *info)
{
    DecodeRecordField(block, kRecordName, info);
    DecodeRecordField(block, kRecordSex, info);
    DecodeRecordField(block, kRecordNation, info);
    DecodeNation(info);
    DecodeRecordField(block, kRecordBirth, info);
    DecodeRecordField(block, kRecordAddress, info);
    DecodeRecordField(block, kRecordCardNo, info);
    DecodeRecordField(block, kRecordAuthority, info);
    DecodeRecordField(block, kRecordStart, info);
    DecodeRecordField(block, kRecordEnd, info);
}

// ---- The card text block into vessik_card ----

namespace {

constexpr int kIdNumberChars = 18;
constexpr int kAppendedAddressTextBytes = 70;
constexpr int kIdWeights[kIdNumberChars - 1] = {7, 9, 10, 5,  8, 4, 2, 1, 6,
                                                3, 7, 9,  10, 5, 8, 4, 2};
constexpr char kIdCheckChars[] = "10X98765432";
constexpr int kIdCheckModulus = 11;

constexpr unsigned short kSurrogateFirst = 0xD800;
constexpr unsigned short kLowSurrogateFirst = 0xDC00;
constexpr unsigned short kSurrogateLast = 0xDFFF;
constexpr unsigned kSurrogateBits = 10;
constexpr uint32_t kSupplementaryBase = 0x10000;
constexpr uint32_t kReplacement = 0xFFFD;
constexpr unsigned short kFirstPrintable = 0x20;
constexpr unsigned short kDelete = 0x7F;
constexpr unsigned short kLastC1Control = 0x9F;
constexpr uint32_t kThreeByteLimit = 0x10000;

bool IsHighSurrogate(unsigned short unit)
{
    return unit >= kSurrogateFirst && unit < kLowSurrogateFirst;
}

bool IsLowSurrogate(unsigned short unit)
{
    return unit >= kLowSurrogateFirst && unit <= kSurrogateLast;
}

// C0 controls, DEL and C1 controls: what a terminal may act on.
bool IsControl(unsigned short unit)
{
    return unit < kFirstPrintable || (unit >= kDelete && unit <= kLastC1Control);
}

int CodePointLength(uint32_t code)
{
    return code < kThreeByteLimit ? Utf8Length(static_cast<unsigned short>(code)) : 4;
}

// Writes the UTF-8 form of a code point; the four-byte form is only ever
// made from a surrogate pair.
int PutCodePoint(uint32_t code, unsigned char *out)
{
    if (code < kThreeByteLimit)
        return PutUtf8(static_cast<unsigned short>(code), out);
    out[0] = static_cast<unsigned char>(0xF0 | (code >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (code & 0x3F));
    return 4;
}

// The units of a field that hold its text: up to a NUL unit, then the
// padding spaces at the end dropped (spaces inside, as in an English name,
// stay).
int TextUnits(const unsigned char *src, const BlockField &field)
{
    const int width_units = field.width / kUnitBytes;
    int units = 0;
    while (units < width_units && UnitAt(src, units) != 0)
        ++units;
    while (units > 0 && UnitAt(src, units - 1) == kPadUnit)
        --units;
    return units;
}

// The code point that unit `u` starts, with `u` moved past a surrogate
// pair's second unit; U+FFFD (and `damaged`) for a control character or an
// unpaired surrogate.
uint32_t NextCodePoint(const unsigned char *src, int units, int &u, bool &damaged)
{
    const unsigned short unit = UnitAt(src, u);
    if (IsHighSurrogate(unit) && u + 1 < units && IsLowSurrogate(UnitAt(src, u + 1))) {
        const unsigned short low = UnitAt(src, ++u);
        return kSupplementaryBase +
               ((static_cast<uint32_t>(unit - kSurrogateFirst) << kSurrogateBits) |
                (low - kLowSurrogateFirst));
    }
    if (IsHighSurrogate(unit) || IsLowSurrogate(unit) || IsControl(unit)) {
        damaged = true;
        return kReplacement;
    }
    return unit;
}

// A free-text field into UTF-8 that is safe to print. True when something
// of the card's text had to be replaced.
bool DecodeText(const unsigned char *block, const BlockField &field, char *dest, size_t room)
{
    const unsigned char *src = block + field.offset;
    const int units = TextUnits(src, field);
    bool damaged = false;
    size_t written = 0;
    for (int u = 0; u < units; ++u) {
        const uint32_t code = NextCodePoint(src, units, u, damaged);
        if (written + static_cast<size_t>(CodePointLength(code)) >= room)
            break; // cannot happen with the sizes of vessik_card; never overrun
        written += static_cast<size_t>(
            PutCodePoint(code, reinterpret_cast<unsigned char *>(dest) + written));
    }
    dest[written] = '\0';
    return damaged;
}

bool IsDigitFieldChar(unsigned short unit)
{
    return (unit >= '0' && unit <= '9') || unit == 'X' || unit == 'x';
}

// A digit field: only 0-9, X and x are kept. True when anything else was
// there (and dropped).
bool DecodeDigits(const unsigned char *block, const BlockField &field, char *dest, size_t room)
{
    const unsigned char *src = block + field.offset;
    const int units = TextUnits(src, field);
    bool damaged = false;
    size_t written = 0;
    for (int u = 0; u < units && written + 1 < room; ++u) {
        const unsigned short unit = UnitAt(src, u);
        if (IsDigitFieldChar(unit))
            dest[written++] = static_cast<char>(unit);
        else
            damaged = true;
    }
    dest[written] = '\0';
    return damaged;
}

// Where a field of the text block goes in vessik_card, and how it decodes.
enum class CardCodec { Text, Digits };
struct CardField {
    BlockField block;
    size_t member;
    size_t room;
    CardCodec codec;
    unsigned damage_bit;
};
#define VESSIK_CARD_FIELD(block_field, member, codec, bit)                                         \
    CardField                                                                                      \
    {                                                                                              \
        block_field, offsetof(vessik_card, member), sizeof(vessik_card::member), CardCodec::codec, \
            bit                                                                                    \
    }

// A resident's and a permit's end of validity may be a word ("long-term"),
// and the foreign card's number and nationality hold letters: text, not
// digits.
constexpr CardField kResidentCard[] = {
    VESSIK_CARD_FIELD(resident::kName, name, Text, VESSIK_FIELD_NAME),
    VESSIK_CARD_FIELD(resident::kSex, sex, Digits, VESSIK_FIELD_SEX),
    VESSIK_CARD_FIELD(resident::kNation, nation_code, Digits, VESSIK_FIELD_NATION_CODE),
    VESSIK_CARD_FIELD(resident::kBirth, birth, Digits, VESSIK_FIELD_BIRTH),
    VESSIK_CARD_FIELD(resident::kAddress, address, Text, VESSIK_FIELD_ADDRESS),
    VESSIK_CARD_FIELD(resident::kIdNumber, id_number, Digits, VESSIK_FIELD_ID_NUMBER),
    VESSIK_CARD_FIELD(resident::kAuthority, authority, Text, VESSIK_FIELD_AUTHORITY),
    VESSIK_CARD_FIELD(resident::kValidFrom, valid_from, Digits, VESSIK_FIELD_VALID_FROM),
    VESSIK_CARD_FIELD(resident::kValidTo, valid_to, Text, VESSIK_FIELD_VALID_TO),
};
constexpr CardField kForeignPermanentCard[] = {
    VESSIK_CARD_FIELD(foreign_permanent::kNameEn, name_en, Text, VESSIK_FIELD_NAME_EN),
    VESSIK_CARD_FIELD(foreign_permanent::kSex, sex, Digits, VESSIK_FIELD_SEX),
    VESSIK_CARD_FIELD(foreign_permanent::kCardNumber, id_number, Text, VESSIK_FIELD_ID_NUMBER),
    VESSIK_CARD_FIELD(foreign_permanent::kNation, nation_code, Text, VESSIK_FIELD_NATION_CODE),
    VESSIK_CARD_FIELD(foreign_permanent::kName, name, Text, VESSIK_FIELD_NAME),
    VESSIK_CARD_FIELD(foreign_permanent::kValidFrom, valid_from, Digits, VESSIK_FIELD_VALID_FROM),
    VESSIK_CARD_FIELD(foreign_permanent::kValidTo, valid_to, Text, VESSIK_FIELD_VALID_TO),
    VESSIK_CARD_FIELD(foreign_permanent::kBirth, birth, Digits, VESSIK_FIELD_BIRTH),
    VESSIK_CARD_FIELD(foreign_permanent::kVersion, version, Digits, VESSIK_FIELD_VERSION),
    VESSIK_CARD_FIELD(foreign_permanent::kAuthority, authority, Text, VESSIK_FIELD_AUTHORITY),
};
constexpr CardField kHmtPermitCard[] = {
    VESSIK_CARD_FIELD(hmt_permit::kName, name, Text, VESSIK_FIELD_NAME),
    VESSIK_CARD_FIELD(hmt_permit::kSex, sex, Digits, VESSIK_FIELD_SEX),
    VESSIK_CARD_FIELD(hmt_permit::kBirth, birth, Digits, VESSIK_FIELD_BIRTH),
    VESSIK_CARD_FIELD(hmt_permit::kAddress, address, Text, VESSIK_FIELD_ADDRESS),
    VESSIK_CARD_FIELD(hmt_permit::kIdNumber, id_number, Digits, VESSIK_FIELD_ID_NUMBER),
    VESSIK_CARD_FIELD(hmt_permit::kAuthority, authority, Text, VESSIK_FIELD_AUTHORITY),
    VESSIK_CARD_FIELD(hmt_permit::kValidFrom, valid_from, Digits, VESSIK_FIELD_VALID_FROM),
    VESSIK_CARD_FIELD(hmt_permit::kValidTo, valid_to, Text, VESSIK_FIELD_VALID_TO),
    VESSIK_CARD_FIELD(hmt_permit::kPassNumber, pass_number, Text, VESSIK_FIELD_PASS_NUMBER),
    VESSIK_CARD_FIELD(hmt_permit::kIssueCount, issue_count, Digits, VESSIK_FIELD_ISSUE_COUNT),
};
#undef VESSIK_CARD_FIELD

template <size_t N>
void DecodeCardFieldList(const unsigned char *block, const CardField (&fields)[N],
                         vessik_card *card)
{
    for (const CardField &f : fields) {
        char *dest = reinterpret_cast<char *>(card) + f.member;
        const bool damaged = f.codec == CardCodec::Digits
                                 ? DecodeDigits(block, f.block, dest, f.room)
                                 : DecodeText(block, f.block, dest, f.room);
        if (damaged)
            card->damaged_fields |= f.damage_bit;
    }
}

int IdCheck(const char *id)
{
    if (strlen(id) != static_cast<size_t>(kIdNumberChars))
        return VESSIK_ID_CHECK_WRONG;
    int sum = 0;
    for (int i = 0; i < kIdNumberChars - 1; ++i) {
        if (id[i] < '0' || id[i] > '9')
            return VESSIK_ID_CHECK_WRONG;
        sum += (id[i] - '0') * kIdWeights[i];
    }
    const char last = id[kIdNumberChars - 1] == 'x' ? 'X' : id[kIdNumberChars - 1];
    return last == kIdCheckChars[sum % kIdCheckModulus] ? VESSIK_ID_CHECK_OK
                                                        : VESSIK_ID_CHECK_WRONG;
}

void NameTheNation(vessik_card *card)
{
    const char *code = card->nation_code;
    if (strlen(code) != kNationCodeDigits || code[0] < '0' || code[0] > '9' || code[1] < '0' ||
        code[1] > '9')
        return;
    const int number = (code[0] - '0') * 10 + (code[1] - '0');
    unsigned char name[sizeof(card->nation_name)] = {};
    const int len = NationName(number, name);
    if (len > 0) {
        memcpy(card->nation_name, name, static_cast<size_t>(len));
        return;
    }
    for (const ExtraNation &extra : kExtraNations) {
        if (extra.code == number)
            snprintf(card->nation_name, sizeof card->nation_name, "%s", extra.name);
    }
}

// The marker unit as text, cleaned as every text field is; empty for none
// (zero or a space).
void NameTheMarker(const unsigned char *block, vessik_card *card)
{
    const BlockField marker = {vessik::textblock::kTypeMarkerOffset, kUnitBytes};
    if (DecodeText(block, marker, card->type_marker, sizeof card->type_marker))
        card->damaged_fields |= VESSIK_FIELD_TYPE_MARKER;
}

} // namespace

void DecodeCardFields(const unsigned char *block, vessik_card *card)
{
    const unsigned short marker = UnitAt(block + vessik::textblock::kTypeMarkerOffset, 0);
    NameTheMarker(block, card);
    switch (marker) {
    case vessik::textblock::kMarkerForeignPermanent:
        card->type = VESSIK_CARD_FOREIGN_PERMANENT;
        DecodeCardFieldList(block, kForeignPermanentCard, card);
        card->id_check = VESSIK_ID_CHECK_NOT_APPLICABLE;
        break;
    case vessik::textblock::kMarkerHmtPermit:
        card->type = VESSIK_CARD_HMT_PERMIT;
        DecodeCardFieldList(block, kHmtPermitCard, card);
        card->id_check = IdCheck(card->id_number);
        break;
    case 0:
    case kPadUnit:
        card->type = VESSIK_CARD_RESIDENT;
        DecodeCardFieldList(block, kResidentCard, card);
        NameTheNation(card);
        card->id_check = IdCheck(card->id_number);
        break;
    default:
        // A layout we do not know: no field is read from one that may not
        // apply. The raw block and the marker tell the caller what came.
        card->type = VESSIK_CARD_UNKNOWN;
        card->id_check = VESSIK_ID_CHECK_NOT_APPLICABLE;
        break;
    }
}

void DecodeAppendedAddress(const unsigned char *payload, int bytes, vessik_card *card)
{
    const size_t raw = std::min(static_cast<size_t>(bytes), sizeof card->appended_address_raw);
    memcpy(card->appended_address_raw, payload, raw);
    card->appended_address_raw_bytes = static_cast<unsigned>(raw);
    // One address record of 35 units is decoded; longer answers are kept raw.
    const BlockField text = {0, std::min(static_cast<int>(raw), kAppendedAddressTextBytes)};
    if (DecodeText(payload, text, card->appended_address, sizeof card->appended_address))
        card->damaged_fields |= VESSIK_FIELD_APPENDED_ADDRESS;
}

} // namespace vessik
