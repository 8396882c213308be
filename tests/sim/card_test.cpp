// SPDX-License-Identifier: LGPL-2.1-or-later
// The virtual card: its text block, identity check character and card files.
#include <gtest/gtest.h>
#include <iconv.h>

#include <fstream>
#include <sstream>
#include <string>

#include "card.h"
#include "card_fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;

// UTF-8 to UCS-2LE through iconv: an encoder that is not ours.
Bytes iconv_ucs2le(const std::string &utf8)
{
    iconv_t cd = iconv_open("UCS-2LE", "UTF-8");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string in = utf8;
    Bytes out(in.size() * 2 + 2);
    char *src = in.data();
    char *dst = reinterpret_cast<char *>(out.data());
    size_t src_left = in.size();
    size_t dst_left = out.size();
    EXPECT_NE(iconv(cd, &src, &src_left, &dst, &dst_left), static_cast<size_t>(-1));
    iconv_close(cd);
    out.resize(out.size() - dst_left);
    return out;
}

// `width` bytes of the block from `offset`.
Bytes field(const std::array<uint8_t, vsim::kTextBlockBytes> &block, size_t offset, size_t width)
{
    return Bytes(block.begin() + offset, block.begin() + offset + width);
}

// The text's UCS-2LE bytes followed by space units up to `width`.
Bytes padded(Bytes text, size_t width)
{
    while (text.size() < width) {
        text.push_back(0x20);
        text.push_back(0x00);
    }
    return text;
}

TEST(TextBlock, EveryFieldSitsAtItsOffsetPaddedWithSpaces)
{
    vsim::CardFields card;
    card.sex = "2";
    card.nation = "01";
    card.birth = "19900307";
    card.id_number = "990000199003070013";
    card.valid_from = "20200101";
    card.valid_to = "20400101";
    const auto block = vsim::build_text_block(card);

    EXPECT_EQ(field(block, 0, 30), padded({}, 30)); // empty name: all spaces
    EXPECT_EQ(field(block, 30, 2), Bytes({'2', 0}));
    EXPECT_EQ(field(block, 32, 4), Bytes({'0', 0, '1', 0}));
    EXPECT_EQ(field(block, 36, 16), iconv_ucs2le("19900307"));
    EXPECT_EQ(field(block, 52, 70), padded({}, 70));
    EXPECT_EQ(field(block, 122, 36), iconv_ucs2le("990000199003070013"));
    EXPECT_EQ(field(block, 188, 16), iconv_ucs2le("20200101"));
    EXPECT_EQ(field(block, 204, 16), iconv_ucs2le("20400101"));
    EXPECT_EQ(field(block, 220, 36), padded({}, 36)); // reserved
}

TEST(TextBlock, ChineseTextMatchesIconv)
{
    const vsim::CardFields card = vsim::sample_card();
    const auto block = vsim::build_text_block(card);
    EXPECT_EQ(field(block, 0, 30), padded(iconv_ucs2le(card.name), 30));
    EXPECT_EQ(field(block, 52, 70), padded(iconv_ucs2le(card.address), 70));
    EXPECT_EQ(field(block, 158, 30), padded(iconv_ucs2le(card.authority), 30));
}

TEST(TextBlock, TooLongTextIsCutAtAUnitBoundaryWithoutTouchingTheNextField)
{
    vsim::CardFields card;
    card.name = "甲乙丙丁戊己庚辛壬癸子丑寅卯辰巳午"; // 17 characters, 15 fit
    card.sex = "1";
    const auto block = vsim::build_text_block(card);
    EXPECT_EQ(field(block, 0, 30), iconv_ucs2le("甲乙丙丁戊己庚辛壬癸子丑寅卯辰"));
    EXPECT_EQ(field(block, 30, 2), Bytes({'1', 0}));
}

TEST(TextBlock, Utf8ConversionRefusesMalformedTextAndCharactersBeyondUcs2)
{
    std::vector<uint16_t> units;
    std::string error;
    EXPECT_TRUE(vsim::utf8_to_ucs2("A测", units, error));
    EXPECT_EQ(units, std::vector<uint16_t>({0x0041, 0x6D4B}));

    const char *bad[] = {
        "\xC0\xAF",         // overlong '/'
        "\xE6\xB5",         // cut short
        "\xED\xA0\x80",     // a surrogate
        "\xF0\x9F\x98\x80", // beyond the Basic Multilingual Plane
        "\x80",             // continuation byte leading
    };
    for (const char *text : bad) {
        error.clear();
        EXPECT_FALSE(vsim::utf8_to_ucs2(text, units, error)) << text;
        EXPECT_FALSE(error.empty());
    }
}

TEST(IdNumber, CheckCharacterFollowsIso7064Mod11_2)
{
    EXPECT_EQ(vsim::id_check_char("99000019900307001"), '3');
    EXPECT_EQ(vsim::id_check_char("99000019950615004"), 'X');
    EXPECT_EQ(vsim::id_check_char("99000019950615009"), '0');
    EXPECT_EQ(vsim::id_check_char("99000120000101002"), '7');
    EXPECT_EQ(vsim::id_check_char("9900001990030700"), '\0');  // 16 digits
    EXPECT_EQ(vsim::id_check_char("9900001990030700A"), '\0'); // not a digit
}

TEST(SampleCard, IsAMadeUpButConsistentIdentity)
{
    const vsim::CardFields card = vsim::sample_card();
    ASSERT_EQ(card.id_number.size(), 18u);
    EXPECT_EQ(card.id_number.substr(0, 2), "99"); // no such region
    EXPECT_EQ(card.id_number.back(), vsim::id_check_char(card.id_number.substr(0, 17)));
    EXPECT_EQ(card.id_number.substr(6, 8), card.birth);
    const int sequence = std::stoi(card.id_number.substr(14, 3));
    EXPECT_EQ(card.sex, sequence % 2 == 1 ? "1" : "2"); // odd sequence: a man
    EXPECT_EQ(card.nation, "01");
    EXPECT_EQ(card.photo.size(), vsim::kPhotoBytes);
}

TEST(SampleCard, ShippedCardFileMatchesTheBuiltInCard)
{
    const std::string text = testsupport::ReadFile(std::string(VSIM_CARDS_DIR) + "/sample.card");
    ASSERT_FALSE(text.empty());
    vsim::CardFields parsed;
    std::string error;
    ASSERT_TRUE(vsim::parse_card_file(text, parsed, error)) << error;
    testsupport::ExpectSameCard(parsed, vsim::sample_card());
}

TEST(Photo, SeededPhotoIsDeterministicAndSeedDependent)
{
    const Bytes a = vsim::photo_from_seed(7);
    EXPECT_EQ(a.size(), vsim::kPhotoBytes);
    EXPECT_EQ(a, vsim::photo_from_seed(7));
    EXPECT_NE(a, vsim::photo_from_seed(8));
    EXPECT_NE(a, Bytes(vsim::kPhotoBytes, a[0])); // not one repeated byte
}

TEST(CardFile, AcceptsCommentsBlanksCrLfBomAndPhotoHex)
{
    std::string photo_hex;
    for (size_t i = 0; i < vsim::kPhotoBytes; ++i)
        photo_hex += i % 2 == 0 ? "0a" : "F5";
    const std::string text = "\xEF\xBB\xBF# a card\r\n"
                             "\r\n"
                             "  name =  测试 样卡  \r\n"
                             "address=3#楼\r\n"
                             "valid_to = 长期\r\n"
                             "photo_hex = " +
                             photo_hex + "\r\n";
    vsim::CardFields card;
    std::string error;
    ASSERT_TRUE(vsim::parse_card_file(text, card, error)) << error;
    EXPECT_EQ(card.name, "测试 样卡");
    EXPECT_EQ(card.address, "3#楼"); // '#' only starts whole-line comments
    EXPECT_EQ(card.valid_to, "长期");
    ASSERT_EQ(card.photo.size(), vsim::kPhotoBytes);
    EXPECT_EQ(card.photo[0], 0x0A);
    EXPECT_EQ(card.photo[1], 0xF5);
    EXPECT_TRUE(card.sex.empty()); // missing keys stay blank
}

// A card file refused: the reason names `error_part`.
struct BadCardFile {
    const char *text;
    const char *error_part;
};

// Each is refused, after a comment line, with its line and its reason, and
// the card it was read into is left as it was.
void ExpectRefused(const std::vector<BadCardFile> &cases)
{
    for (const BadCardFile &c : cases) {
        vsim::CardFields card = vsim::sample_card();
        std::string error;
        EXPECT_FALSE(vsim::parse_card_file(std::string("# first\n") + c.text, card, error))
            << c.text;
        EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
        EXPECT_NE(error.find(c.error_part), std::string::npos) << c.text << " -> " << error;
        EXPECT_EQ(card.type, vsim::CardType::Resident); // untouched
        EXPECT_EQ(card.name, vsim::sample_card().name);
    }
}

// The reason names the offending line, counted from 1.
void ExpectRefusedAtLine(const std::string &text, int line)
{
    std::string error;
    vsim::CardFields card;
    EXPECT_FALSE(vsim::parse_card_file(text, card, error));
    EXPECT_EQ(error.rfind("line " + std::to_string(line) + ":", 0), 0u) << error;
}

TEST(CardFile, RefusesBadInputWithTheLineAndLeavesTheCardAlone)
{
    ExpectRefused({
        {"colour = blue", "unknown key"},
        {"sex = 3", "sex"},
        {"nation = 1", "nation"},
        {"birth = 20230230", "birth"},
        {"valid_from = 2020-01-01", "valid_from"},
        {"valid_to = soon", "valid_to"},
        {"id_number = 990000199003070014", "check character should be 3"},
        {"id_number = 99000019900307001", "17 digits"},
        {"name = 甲乙丙丁戊己庚辛壬癸子丑寅卯辰巳", "at most 15"},
        {"name = \xE6\xB5", "malformed UTF-8"},
        {"sex = 1\nsex = 2", "given twice"},
        {"photo_seed = 1\nphoto_hex = 00", "only one"},
        {"photo_hex = 00ff", "2048 hex digits"},
        {"photo_seed = -1", "photo_seed"},
        {"just some text", "key = value"},
    });
    ExpectRefusedAtLine("# c\n\nbirth = 1990\n", 3);
}

// --- The other two card types ------------------------------------------------

// A text and its place in the block.
struct Placed {
    size_t offset;
    size_t width;
    std::string text; // "": spaces only
};

// Each text at its place, in UCS-2LE padded with spaces.
void ExpectPlaced(const std::array<uint8_t, vsim::kTextBlockBytes> &block,
                  const std::vector<Placed> &places)
{
    for (const Placed &p : places)
        EXPECT_EQ(field(block, p.offset, p.width), padded(iconv_ucs2le(p.text), p.width))
            << "at " << p.offset;
}

TEST(OtherCardTypes, ForeignPermanentFieldsSitAtTheirOffsetsWithMarkerI)
{
    const vsim::CardFields card = vsim::sample_foreign_permanent_card();
    const auto block = vsim::build_text_block(card);

    const std::vector<Placed> places = {
        {0, 120, card.name_en},        {120, 2, card.sex},    {122, 30, card.id_number},
        {152, 6, card.nation_code3},   {158, 30, card.name},  {188, 16, card.valid_from},
        {204, 16, card.valid_to},      {220, 16, card.birth}, {236, 4, card.version},
        {240, 8, card.authority_code}, {248, 2, "I"},         {250, 6, ""},
    };
    ExpectPlaced(block, places);
}

TEST(OtherCardTypes, HmtPermitIsTheResidentLayoutWithPassNumberIssueCountAndMarkerJ)
{
    vsim::CardFields card = vsim::sample_hmt_permit_card();
    card.nation = "01"; // a permit has no nationality: left out of the block
    const auto block = vsim::build_text_block(card);

    const std::vector<Placed> places = {
        {0, 30, card.name},
        {30, 2, card.sex},
        {32, 4, ""}, // reserved
        {36, 16, card.birth},
        {52, 70, card.address},
        {122, 36, card.id_number},
        {158, 30, card.authority},
        {188, 16, card.valid_from},
        {204, 16, card.valid_to},
        {220, 18, card.pass_number},
        {238, 4, card.issue_count},
        {242, 6, ""},
        {248, 2, "J"},
        {250, 6, ""},
    };
    ExpectPlaced(block, places);
}

TEST(OtherCardTypes, ResidentBlockLeavesTheOtherTypesFieldsAndTheMarkerOut)
{
    vsim::CardFields card = vsim::sample_card();
    card.name_en = "SHOULD NOT SHOW";
    card.pass_number = "X00000000";
    card.issue_count = "09";
    const auto block = vsim::build_text_block(card);
    EXPECT_EQ(block, vsim::build_text_block(vsim::sample_card()));
    EXPECT_EQ(field(block, 220, 36), padded({}, 36));
}

TEST(OtherCardTypes, EachLayoutTilesTheBlockUpToTheMarkerWithoutOverlap)
{
    for (const vsim::CardType type :
         {vsim::CardType::Resident, vsim::CardType::ForeignPermanent, vsim::CardType::HmtPermit}) {
        size_t end = 0;
        for (const vsim::TextField &f : vsim::text_layout(type)) {
            EXPECT_GE(f.offset, end) << vsim::card_type_name(type) << " " << f.key;
            EXPECT_EQ(f.width % 2, 0u) << f.key;
            end = f.offset + f.width;
        }
        EXPECT_LE(end, vsim::kTypeMarkerOffset) << vsim::card_type_name(type);
    }
}

TEST(OtherCardTypes, EveryLayoutKeyNamesAField)
{
    vsim::CardFields card;
    for (const vsim::CardType type :
         {vsim::CardType::Resident, vsim::CardType::ForeignPermanent, vsim::CardType::HmtPermit}) {
        for (const vsim::TextField &f : vsim::text_layout(type)) {
            std::string *text = vsim::card_field(card, f.key);
            ASSERT_NE(text, nullptr) << f.key;
            *text = f.key; // each key its own member: no two keys write the same text
        }
    }
    for (const vsim::CardType type :
         {vsim::CardType::Resident, vsim::CardType::ForeignPermanent, vsim::CardType::HmtPermit}) {
        for (const vsim::TextField &f : vsim::text_layout(type))
            EXPECT_EQ(*vsim::card_field(card, f.key), f.key);
    }
    EXPECT_EQ(card.pass_number, "pass_number");
    EXPECT_EQ(card.nation_code3, "nation_code3");
    EXPECT_EQ(vsim::card_field(card, "photo_seed"), nullptr);
    EXPECT_EQ(vsim::card_field(card, "type"), nullptr);
}

TEST(OtherCardTypes, TypeNamesRoundTripAndUnknownNamesAreRefused)
{
    for (const vsim::CardType type :
         {vsim::CardType::Resident, vsim::CardType::ForeignPermanent, vsim::CardType::HmtPermit}) {
        vsim::CardType back = vsim::CardType::Resident;
        ASSERT_TRUE(vsim::card_type_from_name(vsim::card_type_name(type), back));
        EXPECT_EQ(back, type);
    }
    EXPECT_STREQ(vsim::card_type_name(vsim::CardType::HmtPermit), "hmt-permit");
    vsim::CardType type = vsim::CardType::HmtPermit;
    EXPECT_FALSE(vsim::card_type_from_name("foreign", type));
    EXPECT_FALSE(vsim::card_type_from_name("", type));
    EXPECT_EQ(type, vsim::CardType::HmtPermit); // untouched
}

TEST(OtherCardTypes, SampleCardsAreMadeUpAndConsistent)
{
    const vsim::CardFields foreign = vsim::sample_foreign_permanent_card();
    EXPECT_EQ(foreign.nation_code3, "UTO"); // no such country
    EXPECT_EQ(foreign.id_number.substr(0, 3), foreign.nation_code3);
    EXPECT_LE(foreign.name_en.size(), 60u);
    EXPECT_NE(foreign.name_en.find(' '), std::string::npos); // exercises inner spaces

    const vsim::CardFields permit = vsim::sample_hmt_permit_card();
    ASSERT_EQ(permit.id_number.size(), 18u);
    EXPECT_EQ(permit.id_number.substr(0, 2), "99"); // no such region
    EXPECT_EQ(permit.id_number.back(), vsim::id_check_char(permit.id_number.substr(0, 17)));
    EXPECT_EQ(permit.id_number.back(), 'X'); // exercises the X check character
    EXPECT_EQ(permit.id_number.substr(6, 8), permit.birth);
    const int sequence = std::stoi(permit.id_number.substr(14, 3));
    EXPECT_EQ(permit.sex, sequence % 2 == 1 ? "1" : "2");
    EXPECT_TRUE(permit.nation.empty());
}

TEST(OtherCardTypes, ShippedCardFilesMatchTheBuiltInCards)
{
    const struct {
        const char *file;
        vsim::CardFields card;
    } cases[] = {
        {"/foreign-permanent.card", vsim::sample_foreign_permanent_card()},
        {"/hmt-permit.card", vsim::sample_hmt_permit_card()},
    };
    for (const auto &c : cases) {
        const std::string text = testsupport::ReadFile(std::string(VSIM_CARDS_DIR) + c.file);
        ASSERT_FALSE(text.empty()) << c.file;
        vsim::CardFields parsed;
        std::string error;
        ASSERT_TRUE(vsim::parse_card_file(text, parsed, error)) << c.file << ": " << error;
        SCOPED_TRACE(c.file);
        testsupport::ExpectSameCard(parsed, c.card);
        // The whole text block too: the marker and the padding.
        EXPECT_EQ(vsim::build_text_block(parsed), vsim::build_text_block(c.card));
    }
}

TEST(CardFile, TypeMayStandAnywhereAndDecidesHowTheOtherKeysAreChecked)
{
    // A 15-character card number is no identity number: accepted only
    // because the type, given last, makes it a foreign card.
    const std::string text = "id_number = UTO990085031201\n"
                             "name_en = A B\n"
                             "type = foreign-permanent\n";
    vsim::CardFields card;
    std::string error;
    ASSERT_TRUE(vsim::parse_card_file(text, card, error)) << error;
    EXPECT_EQ(card.type, vsim::CardType::ForeignPermanent);
    EXPECT_EQ(card.id_number, "UTO990085031201");
    EXPECT_EQ(card.name_en, "A B");

    ASSERT_TRUE(vsim::parse_card_file("type = resident\nname = 甲", card, error)) << error;
    EXPECT_EQ(card.type, vsim::CardType::Resident);
    EXPECT_TRUE(card.name_en.empty()); // a fresh card each time
}

TEST(CardFile, RefusesBadValuesAndFieldsTheTypeDoesNotCarry)
{
    ExpectRefused({
        {"type = foreign", "type must be"},
        {"type = resident\ntype = hmt-permit", "given twice"},
        {"name_en = JOHN", "not a field of a resident card"},
        {"type = hmt-permit\nnation = 01", "not a field of a hmt-permit card"},
        {"type = foreign-permanent\naddress = 某地", "not a field of a foreign-permanent card"},
        {"type = foreign-permanent\nnation_code3 = uto", "three capital letters"},
        {"type = foreign-permanent\nnation_code3 = UTOP", "three capital letters"},
        {"type = foreign-permanent\nversion = 1", "version must be two digits"},
        {"type = foreign-permanent\nauthority_code = 99A0", "four digits"},
        {"type = foreign-permanent\nid_number = UTO-99", "letters and digits"},
        {"type = foreign-permanent\nid_number = UTO9900850312011", "at most 15"},
        {"type = foreign-permanent\nname_en = "
         "ABCDEFGHIJABCDEFGHIJABCDEFGHIJABCDEFGHIJABCDEFGHIJABCDEFGHIJX",
         "at most 60"},
        {"type = hmt-permit\nid_number = 99000019950615004", "17 digits"},
        {"type = hmt-permit\nid_number = 990000199506150041", "should be X"},
        {"type = hmt-permit\npass_number = X9900000/", "letters and digits"},
        {"type = hmt-permit\npass_number = X990000012", "at most 9"},
        {"type = hmt-permit\nissue_count = 1", "issue_count must be two digits"},
        {"type = hmt-permit\nbirth = 19950230", "birth"},
    });
    // The line named is the offending one, not the type's.
    ExpectRefusedAtLine("type = hmt-permit\n\nnation = 01\n", 3);
}

} // namespace
