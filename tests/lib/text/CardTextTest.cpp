// SPDX-License-Identifier: LGPL-2.1-or-later
// Card text decoders, checked against hand-worked bytes and against glibc's
// iconv, which nobody here wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <random>
#include <string>
#include <vector>

#include "card_text.h"
#include "keyed_hash.h"
#include "vessik.h"
#include "vessik_read.h"

using namespace vessik;

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kUntouched = 0xEE; // fill that shows bytes nobody wrote
constexpr int kDestBytes = 256;

std::string Hex(const unsigned char *bytes, int count)
{
    std::string text;
    char digits[4];
    for (int i = 0; i < count; ++i) {
        snprintf(digits, sizeof(digits), i == 0 ? "%02X" : " %02X", bytes[i]);
        text += digits;
    }
    return text;
}

Bytes Ucs2le(const std::u16string &units)
{
    Bytes bytes;
    for (const char16_t unit : units) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return bytes;
}

// glibc's own UCS-2LE to UTF-8 conversion, the reference for the checks below.
class Iconv {
  public:
    Iconv() : cd_(iconv_open("UTF-8", "UCS-2LE")) {}
    ~Iconv()
    {
        if (ok())
            iconv_close(cd_);
    }
    Iconv(const Iconv &) = delete;
    Iconv &operator=(const Iconv &) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // At most `room` bytes: iconv then stops before a character that does not
    // fit. False when iconv refuses the input.
    bool Convert(const Bytes &src, size_t len, std::string &out, size_t room = kDestBytes)
    {
        char buf[kDestBytes];
        char *in = const_cast<char *>(reinterpret_cast<const char *>(src.data()));
        char *outp = buf;
        size_t in_left = len;
        size_t out_left = room < sizeof(buf) ? room : sizeof(buf);
        if (iconv(cd_, &in, &in_left, &outp, &out_left) == static_cast<size_t>(-1) &&
            errno != E2BIG)
            return false;
        out.assign(buf, outp);
        return true;
    }

  private:
    iconv_t cd_;
};

// Characters in a UTF-8 text: the bytes that are not continuation bytes.
int Chars(const std::string &utf8)
{
    int chars = 0;
    for (const char c : utf8)
        chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return chars;
}

// The hex a destination shows after `utf8` was written to it, with one untouched byte.
std::string Expected(const std::string &utf8)
{
    const int n = static_cast<int>(utf8.size());
    return Hex(reinterpret_cast<const unsigned char *>(utf8.data()), n) + (n == 0 ? "EE" : " EE");
}

// ---------------------------------------------------------------- one unit

TEST(EncodeUtf8, EncodesTheBoundariesOfEachLength)
{
    const struct {
        char16_t unit;
        const char *hex;
    } cases[] = {
        {0x0041, "41"},       {0x007F, "7F"},       {0x0000, "00"},       {0x0080, "C2 80"},
        {0x00B7, "C2 B7"},    {0x07FF, "DF BF"},    {0x0800, "E0 A0 80"}, {0xFFFF, "EF BF BF"},
        {0xD800, "ED A0 80"}, {0xDFFF, "ED BF BF"},
    };
    for (const auto &c : cases) {
        unsigned char out[7];
        memset(out, kUntouched, sizeof(out));
        const int len = EncodeUtf8(c.unit, out, 6);
        EXPECT_EQ(Hex(out, len), c.hex) << std::hex << c.unit;
        EXPECT_EQ(out[len], kUntouched) << "wrote past its result for " << std::hex << c.unit;
    }
}

TEST(EncodeUtf8, RefusesANullOutputOrTooLittleRoom)
{
    unsigned char out[6];
    memset(out, kUntouched, sizeof(out));
    EXPECT_EQ(EncodeUtf8(0x4E2D, out, 5), 0);
    EXPECT_EQ(EncodeUtf8(0x0041, out, -1), 0);
    EXPECT_EQ(Hex(out, 6), "EE EE EE EE EE EE");
    EXPECT_EQ(EncodeUtf8(0x0041, nullptr, 6), 0);
}

TEST(EncodeUtf8, MatchesIconvForEveryUnitOutsideTheSurrogates)
{
    Iconv reference;
    ASSERT_TRUE(reference.ok());
    int mismatches = 0;
    std::string first;
    for (unsigned code = 0x0001; code <= 0xFFFF; ++code) {
        if (code >= 0xD800 && code <= 0xDFFF)
            continue;
        const Bytes src = Ucs2le(std::u16string(1, static_cast<char16_t>(code)));
        std::string expected;
        ASSERT_TRUE(reference.Convert(src, src.size(), expected)) << std::hex << code;
        unsigned char out[6];
        const int len = EncodeUtf8(static_cast<unsigned short>(code), out, sizeof(out));
        if (std::string(reinterpret_cast<char *>(out), len) != expected && mismatches++ == 0)
            first = Hex(src.data(), 2) + " -> " + Hex(out, len);
    }
    EXPECT_EQ(mismatches, 0) << "first: " << first;
}

// ---------------------------------------------------------------- digit fields

TEST(DecodeDigits, KeepsTheLowByteOfEachUnit)
{
    const struct {
        Bytes src;
        int width;
        const char *hex; // destination after the call, with one byte beyond
    } cases[] = {
        {{0x30, 0x00, 0x31, 0x00}, 4, "30 31 EE"},
        {{0x58, 0x4E, 0x39, 0xFF}, 4, "58 39 EE"}, // high bytes are neither copied nor checked
        {{0x31, 0x00, 0x32}, 3, "31 32 EE"},       // an odd width takes its last byte
        {{0x31, 0x00}, 0, "EE EE EE"},
        {{0x31, 0x00}, -2, "EE EE EE"},
    };
    for (const auto &c : cases) {
        unsigned char dest[3];
        memset(dest, kUntouched, sizeof(dest));
        const int expected_len = c.width > 0 ? (c.width + 1) / 2 : 0;
        EXPECT_EQ(DecodeDigits(c.src.data(), c.width, dest), expected_len) << c.hex;
        EXPECT_EQ(Hex(dest, 3), c.hex);
    }
    unsigned char dest[2] = {kUntouched, kUntouched};
    EXPECT_EQ(DecodeDigits(nullptr, 2, dest), 0);
    EXPECT_EQ(Hex(dest, 2), "EE EE");
}

TEST(DecodeDigits, EveryWidthTakesExactlyTheEvenBytes)
{
    // Widths around the eight-unit groups the decoder may take at once.
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> byte(0, 0xFF);
    for (int width = 0; width <= 72; ++width) {
        Bytes src(std::max(width, 1)); // exactly the field, so a sanitizer sees overreads
        for (unsigned char &b : src)
            b = static_cast<unsigned char>(byte(rng));
        std::string expected;
        for (int i = 0; i < width; i += 2)
            expected += static_cast<char>(src[i]);

        unsigned char dest[64];
        memset(dest, kUntouched, sizeof(dest));
        const int n = static_cast<int>(expected.size());
        EXPECT_EQ(DecodeDigits(src.data(), width, dest), n) << "width " << width;
        EXPECT_EQ(Hex(dest, n + 1), Expected(expected)) << "width " << width;
    }
}

// ---------------------------------------------------------------- free text

TEST(DecodeFreeText, DecodesUpToTheFirstSpaceUnit)
{
    const struct {
        const char *what;
        Bytes src;
        int width;
        int result;
        const char *hex;
    } cases[] = {
        {"padded", {0x2D, 0x4E, 0x87, 0x65, 0x20, 0x00, 0x20, 0x00}, 8, 4, "E4 B8 AD E6 96 87"},
        {"no padding", {0x2D, 0x4E, 0x87, 0x65}, 4, 4, "E4 B8 AD E6 96 87"},
        {"mixed",
         {0x2D, 0x4E, 0x87, 0x65, 0x41, 0x00, 0x31, 0x00},
         8,
         8,
         "E4 B8 AD E6 96 87 41 31"},
        {"leading space", {0x20, 0x00, 0x41, 0x00}, 4, 0, ""},
        {"inner space", {0x41, 0x00, 0x20, 0x00, 0x42, 0x00}, 6, 2, "41"},
        // U+2020 then U+4E00: the bytes 20 00 at offset 1 straddle two units.
        {"straddling pair", {0x20, 0x20, 0x00, 0x4E, 0x20, 0x00}, 6, 4, "E2 80 A0 E4 B8 80"},
        // U+00B7 must not come out as the lone byte B7.
        {"middle dot", {0x41, 0x00, 0xB7, 0x00, 0x42, 0x00, 0x20, 0x00}, 8, 6, "41 C2 B7 42"},
        {"width 0", {0x41, 0x00}, 0, 0, ""},
        {"width 1", {0x41, 0x00}, 1, 0, ""},
        {"odd width", {0x41, 0x00, 0x42}, 3, 2, "41"}, // the last odd byte is no unit
    };
    for (const auto &c : cases) {
        unsigned char dest[16];
        memset(dest, kUntouched, sizeof(dest));
        EXPECT_EQ(DecodeFreeText(c.src.data(), c.width, dest), c.result) << c.what;
        const int written = static_cast<int>(strlen(c.hex) + 1) / 3;
        EXPECT_EQ(Hex(dest, written + 1), written == 0 ? "EE" : std::string(c.hex) + " EE")
            << c.what;
    }
    unsigned char dest[2] = {kUntouched, kUntouched};
    EXPECT_EQ(DecodeFreeText(nullptr, 30, dest), 0);
    EXPECT_EQ(Hex(dest, 2), "EE EE");
}

// A unit of a random field, biased towards the hard cases.
char16_t RandomUnit(std::mt19937 &rng)
{
    const int low = std::uniform_int_distribution<int>(0, 0xFF)(rng);
    switch (std::uniform_int_distribution<int>(0, 7)(rng)) {
    case 0:
        return static_cast<char16_t>(std::uniform_int_distribution<int>(0x21, 0x7E)(rng));
    case 1: // Latin-1, U+00B7 among them
        return static_cast<char16_t>(0x80 | low);
    case 2: // low byte 20: can start a straddling pad pair
        return static_cast<char16_t>(0x2000 | low);
    case 3: // low byte 00: can end one (the surrogate rows are skipped)
        return static_cast<char16_t>((low == 0 || (low >= 0xD8 && low <= 0xDF) ? 0x4E : low) << 8);
    case 4:
        return u' ';
    case 5:
        return static_cast<char16_t>(std::uniform_int_distribution<int>(0x0100, 0x07FF)(rng));
    case 6:
        return static_cast<char16_t>(std::uniform_int_distribution<int>(0x4E00, 0x9FA5)(rng));
    default: {
        const int unit = std::uniform_int_distribution<int>(0x0001, 0xF7FF)(rng);
        return static_cast<char16_t>(unit >= 0xD800 ? unit + 0x800
                                                    : unit); // iconv refuses surrogates
    }
    }
}

std::u16string RandomField(std::mt19937 &rng, int units)
{
    std::u16string field;
    for (int u = 0; u < units; ++u)
        field += RandomUnit(rng);
    return field;
}

TEST(DecodeFreeText, RandomFieldsDecodeAsIconvUpToTheFirstSpace)
{
    Iconv reference;
    ASSERT_TRUE(reference.ok());
    std::mt19937 rng(20240305);
    const int widths[] = {30, 70, 2, 4, 31};
    for (int round = 0; round < 4000; ++round) {
        const int width = widths[round % 5];
        const Bytes field = Ucs2le(RandomField(rng, (width + 1) / 2));

        // iconv the whole field; U+0020 is the only unit whose UTF-8 holds 0x20.
        std::string whole;
        ASSERT_TRUE(reference.Convert(field, width & ~1, whole));
        const std::string expected = whole.substr(0, whole.find(' '));

        unsigned char dest[kDestBytes];
        memset(dest, kUntouched, sizeof(dest));
        const int n = static_cast<int>(expected.size());
        ASSERT_EQ(DecodeFreeText(field.data(), width, dest), 2 * Chars(expected))
            << "round " << round << ": " << Hex(field.data(), width);
        ASSERT_EQ(Hex(dest, n + 1), Expected(expected))
            << "round " << round << ": " << Hex(field.data(), width);
    }
}

// ---------------------------------------------------------------- bounded free text

TEST(DecodeFreeTextBounded, StopsBeforeACharacterThatDoesNotFit)
{
    // "A", two CJK characters, U+00B7, U+0416: 1 + 3 + 3 + 2 + 2 bytes, then padding.
    const Bytes field = Ucs2le(u"A\u4E2D\u6587\u00B7\u0416 ");
    const struct {
        int room;
        int result;
        const char *hex;
    } cases[] = {
        {0, 0, ""},
        {-1, 0, ""},
        {3, 2, "41"},
        {4, 4, "41 E4 B8 AD"},
        {7, 6, "41 E4 B8 AD E6 96 87"},
        {8, 6, "41 E4 B8 AD E6 96 87"}, // a two-byte character is not split either
        {10, 8, "41 E4 B8 AD E6 96 87 C2 B7"},
        {11, 10, "41 E4 B8 AD E6 96 87 C2 B7 D0 96"},
        {100, 10, "41 E4 B8 AD E6 96 87 C2 B7 D0 96"},
    };
    for (const auto &c : cases) {
        unsigned char dest[16];
        memset(dest, kUntouched, sizeof(dest));
        EXPECT_EQ(DecodeFreeTextBounded(field.data(), 12, dest, c.room), c.result)
            << "room " << c.room;
        const int written = static_cast<int>(strlen(c.hex) + 1) / 3;
        EXPECT_EQ(Hex(dest, written + 1), written == 0 ? "EE" : std::string(c.hex) + " EE")
            << "room " << c.room;
    }
    EXPECT_EQ(DecodeFreeTextBounded(nullptr, 30, nullptr, 29), 0);
}

TEST(DecodeFreeTextBounded, RandomFieldsAndRoomsCutAsIconvCuts)
{
    Iconv reference;
    ASSERT_TRUE(reference.ok());
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        const int width = round % 2 == 0 ? 30 : 70;
        const Bytes field = Ucs2le(RandomField(rng, width / 2));
        const int room = std::uniform_int_distribution<int>(0, width * 3 / 2 + 1)(rng);

        // The text ends at the first space; iconv its units into `room` bytes.
        std::string whole;
        ASSERT_TRUE(reference.Convert(field, width, whole));
        const std::string text = whole.substr(0, whole.find(' '));
        std::string cut;
        ASSERT_TRUE(reference.Convert(field, 2 * Chars(text), cut, room));

        unsigned char dest[kDestBytes];
        memset(dest, kUntouched, sizeof(dest));
        const int n = static_cast<int>(cut.size());
        ASSERT_EQ(DecodeFreeTextBounded(field.data(), width, dest, room), 2 * Chars(cut))
            << "round " << round << ", room " << room << ": " << Hex(field.data(), width);
        ASSERT_EQ(Hex(dest, n + 1), Expected(cut))
            << "round " << round << ", room " << room << ": " << Hex(field.data(), width);
    }
}

TEST(DecodeFreeTextBounded, ALongNameStaysTerminatedInsideItsRecordField)
{
    // Fifteen CJK characters fill a 30-byte card field with 45 bytes of UTF-8.
    const Bytes field = Ucs2le(std::u16string(15, u'\u9F8D'));
    idInfo record;
    memset(&record, 0, sizeof(record));
    record.sex[0] = '1';
    unsigned char *name = reinterpret_cast<unsigned char *>(record.name);
    EXPECT_EQ(DecodeFreeTextBounded(field.data(), 30, name, sizeof(record.name) - 1), 18);
    EXPECT_EQ(strlen(record.name), 27u); // nine characters of three bytes fit in 29
    EXPECT_EQ(record.sex[0], '1');
}

// ---------------------------------------------------------------- nationality and sex

// Code points of the names for codes 1 to 56, written down apart from the
// decoder's own UTF-8 literals (generated once from the nationality table with
// Python's ord()); iconv turns them into the expected bytes.
// clang-format off
const std::u16string kNationalCodePoints[] = {
    u"\u6C49", u"\u8499\u53E4", u"\u56DE", u"\u85CF", u"\u7EF4\u543E\u5C14", u"\u82D7", u"\u5F5D", // 1-7
    u"\u58EE", u"\u5E03\u4F9D", u"\u671D\u9C9C", u"\u6EE1", u"\u4F97", u"\u7476", u"\u767D", // 8-14
    u"\u571F\u5BB6", u"\u54C8\u5C3C", u"\u54C8\u8428\u514B", u"\u50A3", u"\u9ECE", // 15-19
    u"\u5088\u50F3", u"\u4F64", u"\u7572", u"\u9AD8\u5C71", u"\u62C9\u795C", u"\u6C34", // 20-25
    u"\u4E1C\u4E61", u"\u7EB3\u897F", u"\u666F\u9887", u"\u67EF\u5C14\u514B\u5B5C", // 26-29
    u"\u571F", u"\u8FBE\u65A1\u5C14", u"\u4EEB\u4F6C", u"\u7F8C", u"\u5E03\u6717", // 30-34
    u"\u6492\u62C9", u"\u6BDB\u5357", u"\u4EE1\u4F6C", u"\u9521\u4F2F", u"\u963F\u660C", // 35-39
    u"\u666E\u7C73", u"\u5854\u5409\u514B", u"\u6012", u"\u4E4C\u5B5C\u522B\u514B", // 40-43
    u"\u4FC4\u7F57\u65AF", u"\u9102\u6E29\u514B", u"\u5FB7\u6602", u"\u4FDD\u5B89", u"\u88D5\u56FA", // 44-48
    u"\u4EAC", u"\u5854\u5854\u5C14", u"\u72EC\u9F99", u"\u9102\u4F26\u6625", // 49-52
    u"\u8D6B\u54F2", u"\u95E8\u5DF4", u"\u73DE\u5DF4", u"\u57FA\u8BFA", // 53-56
};
// clang-format on

TEST(NationName, EveryCodeWritesItsNameExactly)
{
    Iconv reference;
    ASSERT_TRUE(reference.ok());
    for (int code = 1; code <= 56; ++code) {
        const Bytes ucs2 = Ucs2le(kNationalCodePoints[code - 1]);
        std::string expected;
        ASSERT_TRUE(reference.Convert(ucs2, ucs2.size(), expected));
        unsigned char dest[16];
        memset(dest, kUntouched, sizeof(dest));
        const int len = NationName(code, dest);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(dest), len > 0 ? len : 0), expected)
            << "code " << code;
        EXPECT_EQ(dest[len > 0 ? len : 0], kUntouched) << "code " << code;
    }
}

TEST(NationName, CodesOutsideTheStandardWriteNothing)
{
    unsigned char dest[4];
    memset(dest, kUntouched, sizeof(dest));
    // 97 and 98 are named in the extended card only.
    for (const int code : {0, 57, 97, 98, -1, 1000})
        EXPECT_EQ(NationName(code, dest), -1) << "code " << code;
    EXPECT_EQ(Hex(dest, 4), "EE EE EE EE");
    EXPECT_EQ(NationName(1, dest), 3);
    EXPECT_EQ(Hex(dest, 4), "E6 B1 89 EE");
}

TEST(SexWord, WritesTheWordForOneAndTwoOnly)
{
    unsigned char dest[4];
    memset(dest, kUntouched, sizeof(dest));
    for (const int code : {0, 3, -1})
        EXPECT_EQ(SexWord(code, dest), 0) << "code " << code;
    EXPECT_EQ(Hex(dest, 4), "EE EE EE EE");
    EXPECT_EQ(SexWord(1, dest), 3);
    EXPECT_EQ(Hex(dest, 4), "E7 94 B7 EE");
    EXPECT_EQ(SexWord(2, dest), 3);
    EXPECT_EQ(Hex(dest, 4), "E5 A5 B3 EE");
}

// The type marker decides the layout: none (zero or a space) is a resident
// card; a marker no layout here knows leaves every field empty.
// The marker itself is cleaned as every text field is.
struct MarkerCase {
    unsigned short marker;
    int type;
    const char *type_marker;
    unsigned damaged_fields;
};
const MarkerCase kMarkerCases[] = {
    {0x0000, VESSIK_CARD_RESIDENT, "", 0},
    {0x0020, VESSIK_CARD_RESIDENT, "", 0},
    {0x004E, VESSIK_CARD_UNKNOWN, "N", 0},
    {0x001B, VESSIK_CARD_UNKNOWN, "\uFFFD", VESSIK_FIELD_TYPE_MARKER}, // ESC
    {0x009B, VESSIK_CARD_UNKNOWN, "\uFFFD", VESSIK_FIELD_TYPE_MARKER}, // CSI
    {0xD800, VESSIK_CARD_UNKNOWN, "\uFFFD", VESSIK_FIELD_TYPE_MARKER}, // lone surrogate
};

TEST(DecodeCardFields, TheMarkerPicksTheLayoutAndIsCleanedAsText)
{
    unsigned char block[cardtext::kTextBlockBytes];
    const Bytes name = Ucs2le(u"\u6D4B\u8BD5"); // 测试
    for (const MarkerCase &c : kMarkerCases) {
        memset(block, 0x20, sizeof block);
        for (int i = 1; i < cardtext::kTextBlockBytes; i += 2)
            block[i] = 0x00;
        memcpy(block, name.data(), name.size());
        block[248] = static_cast<unsigned char>(c.marker & 0xFF);
        block[249] = static_cast<unsigned char>(c.marker >> 8);
        vessik_card card;
        memset(&card, 0, sizeof card);
        DecodeCardFields(block, &card);
        EXPECT_EQ(card.type, c.type) << c.marker;
        EXPECT_STREQ(card.name, c.type == VESSIK_CARD_RESIDENT ? "测试" : "") << c.marker;
        EXPECT_STREQ(card.type_marker, c.type_marker) << c.marker;
        EXPECT_EQ(card.damaged_fields, c.damaged_fields) << c.marker;
    }
}

// ------------------------------------------------- the extended card's text

// A resident card's text block with its fields padded as a card pads them.
class ResidentBlock {
  public:
    ResidentBlock()
    {
        for (int i = 0; i + 1 < cardtext::kTextBlockBytes; i += 2) {
            block_[i] = 0x20;
            block_[i + 1] = 0x00;
        }
        Put(cardtext::resident::kName, u"测试样卡");
        Put(cardtext::resident::kSex, u"1");
        Put(cardtext::resident::kNation, u"01");
        Put(cardtext::resident::kBirth, u"19900307");
        Put(cardtext::resident::kAddress, u"虚拟省示例市");
        Put(cardtext::resident::kIdNumber, u"990000199003070013");
        Put(cardtext::resident::kAuthority, u"示例市公安局");
        Put(cardtext::resident::kValidFrom, u"20200101");
        Put(cardtext::resident::kValidTo, u"20400101");
    }
    // The field's text, padded with spaces to its width.
    void Put(const cardtext::BlockField &field, const std::u16string &units)
    {
        std::u16string padded = units;
        padded.resize(static_cast<size_t>(field.width / 2), u' ');
        const Bytes bytes = Ucs2le(padded);
        ASSERT_EQ(static_cast<int>(bytes.size()), field.width);
        std::copy(bytes.begin(), bytes.end(), block_ + field.offset);
    }
    const unsigned char *data() const { return block_; }

  private:
    unsigned char block_[cardtext::kTextBlockBytes] = {};
};

vessik_card Decoded(const ResidentBlock &block)
{
    vessik_card card;
    memset(&card, 0, sizeof card);
    DecodeCardFields(block.data(), &card);
    return card;
}

TEST(DecodeCardFields, AnHonestCardIsNotDamaged)
{
    const vessik_card card = Decoded(ResidentBlock());
    EXPECT_STREQ(card.name, "测试样卡");
    EXPECT_STREQ(card.id_number, "990000199003070013");
    EXPECT_EQ(card.damaged_fields, 0u);
}

// A forged card cannot clear a terminal, recolour it or forge an output line,
// and its text stays valid UTF-8.
TEST(DecodeCardFields, ControlCharactersAndUnpairedSurrogatesBecomeReplacements)
{
    ResidentBlock block;
    block.Put(cardtext::resident::kName, u"A\x1b[2J\x1b[31mB\nC");
    block.Put(cardtext::resident::kAddress, u"D\x7f"
                                            u"E\x9b"
                                            u"F\x85");
    block.Put(cardtext::resident::kAuthority, u"G\xd800H\xdc00");
    block.Put(cardtext::resident::kValidTo, u"\xd83d\xde00"); // a pair: U+1F600
    const vessik_card card = Decoded(block);
    EXPECT_STREQ(card.name, "A\uFFFD[2J\uFFFD[31mB\uFFFDC");
    EXPECT_STREQ(card.address, "D\uFFFDE\uFFFDF\uFFFD");
    EXPECT_STREQ(card.authority, "G\uFFFDH\uFFFD");
    EXPECT_STREQ(card.valid_to, "\U0001F600");
    EXPECT_EQ(card.damaged_fields,
              VESSIK_FIELD_NAME | VESSIK_FIELD_ADDRESS | VESSIK_FIELD_AUTHORITY);
}

TEST(DecodeCardFields, DigitFieldsKeepOnlyDigitsAndX)
{
    ResidentBlock block;
    block.Put(cardtext::resident::kIdNumber, u"990000199003070\x1b"
                                             u"13");
    block.Put(cardtext::resident::kBirth, u"1990.307");
    block.Put(cardtext::resident::kSex, u"\n");
    const vessik_card card = Decoded(block);
    EXPECT_STREQ(card.id_number, "99000019900307013");
    EXPECT_STREQ(card.birth, "1990307");
    EXPECT_STREQ(card.sex, "");
    EXPECT_EQ(card.damaged_fields, VESSIK_FIELD_ID_NUMBER | VESSIK_FIELD_BIRTH | VESSIK_FIELD_SEX);
    EXPECT_EQ(card.id_check, VESSIK_ID_CHECK_WRONG);
}

// The fixed record keeps the bytes it has always had.
TEST(DecodeCardText, TheFixedRecordKeepsTheCardsBytes)
{
    ResidentBlock block;
    block.Put(cardtext::resident::kName, u"A\x1b[2J");
    idInfo info;
    memset(&info, 0, sizeof info);
    DecodeCardText(block.data(), &info);
    EXPECT_STREQ(info.name, "A\x1b[2J");
}

// ------------------------------------------------------------- keyed hash

TEST(KeyedHash, SipHashGivesTheReferenceValues)
{
    // The reference key is the bytes 00 to 0F, each half read low byte
    // first; spelt as numbers, so that it is the same key on every CPU.
    const vessik::HashKey key{0x0706050403020100ULL, 0x0F0E0D0C0B0A0908ULL};
    unsigned char message[15];
    for (int i = 0; i < 15; ++i)
        message[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(vessik::SipHash24(key, message, 0), 0x726fdb47dd0e0e31ULL);
    EXPECT_EQ(vessik::SipHash24(key, message, 8), 0x93f5f5799a932462ULL);
    EXPECT_EQ(vessik::SipHash24(key, message, 15), 0xa129ca6149be45e5ULL);
}

} // namespace
