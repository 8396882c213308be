// The virtual card: its text block, identity check character and card files.
#include <gtest/gtest.h>
#include <iconv.h>

#include <fstream>
#include <sstream>
#include <string>

#include "card.h"

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

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
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
    const std::string text = read_file(std::string(VSIM_CARDS_DIR) + "/sample.card");
    ASSERT_FALSE(text.empty());
    vsim::CardFields parsed;
    std::string error;
    ASSERT_TRUE(vsim::parse_card_file(text, parsed, error)) << error;
    const vsim::CardFields sample = vsim::sample_card();
    EXPECT_EQ(parsed.name, sample.name);
    EXPECT_EQ(parsed.sex, sample.sex);
    EXPECT_EQ(parsed.nation, sample.nation);
    EXPECT_EQ(parsed.birth, sample.birth);
    EXPECT_EQ(parsed.address, sample.address);
    EXPECT_EQ(parsed.id_number, sample.id_number);
    EXPECT_EQ(parsed.authority, sample.authority);
    EXPECT_EQ(parsed.valid_from, sample.valid_from);
    EXPECT_EQ(parsed.valid_to, sample.valid_to);
    EXPECT_EQ(parsed.photo, sample.photo);
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

TEST(CardFile, RefusesBadInputWithTheLineAndLeavesTheCardAlone)
{
    const struct {
        const char *text;
        const char *error_part;
    } cases[] = {
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
    };
    for (const auto &c : cases) {
        vsim::CardFields card = vsim::sample_card();
        std::string error;
        EXPECT_FALSE(vsim::parse_card_file(std::string("# first\n") + c.text, card, error))
            << c.text;
        EXPECT_NE(error.find("line "), std::string::npos) << error;
        EXPECT_NE(error.find(c.error_part), std::string::npos) << c.text << " -> " << error;
        EXPECT_EQ(card.name, vsim::sample_card().name); // untouched
    }
    std::string error;
    vsim::CardFields card;
    EXPECT_FALSE(vsim::parse_card_file("# c\n\nbirth = 1990\n", card, error));
    EXPECT_EQ(error.rfind("line 3:", 0), 0u) << error;
}

} // namespace
