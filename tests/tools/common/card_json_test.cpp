// SPDX-License-Identifier: LGPL-2.1-or-later
// The one JSON form of a card that vessik-read prints and vessikd serves:
// base64 both ways, every field under its key, fields without a terminator,
// and text that is not UTF-8.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "card_json.h"

namespace {

TEST(CardJson, Base64FollowsRfc4648)
{
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto &v : vectors) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(v.first.data());
        EXPECT_EQ(v.second, vessik_tools::base64_encode(bytes, v.first.size()));
        std::vector<unsigned char> back;
        ASSERT_TRUE(vessik_tools::base64_decode(v.second, back)) << v.second;
        EXPECT_EQ(v.first, std::string(back.begin(), back.end()));
    }
    const unsigned char high[] = {0xFF, 0xFE, 0x00, 0xFB};
    EXPECT_EQ(vessik_tools::base64_encode(high, sizeof high), "//4A+w==");
    std::vector<unsigned char> out;
    for (const char *bad : {"Zg=", "Z===", "Zg==Zg==", "Zh==", "Zm9=", "Zm9v\n", "Zm9*", "=Zg="})
        EXPECT_FALSE(vessik_tools::base64_decode(bad, out)) << bad;
}

template <size_t N> void put(char (&field)[N], const char *text)
{
    std::snprintf(field, N, "%s", text);
}

TEST(CardJson, EveryFieldOfTheRecordHasItsKey)
{
    vessik_card card;
    std::memset(&card, 0, sizeof(card));
    card.type = VESSIK_CARD_HMT_PERMIT;
    put(card.name, "name");
    put(card.name_en, "name_en");
    put(card.sex, "2");
    put(card.nation_code, "nc");
    put(card.nation_name, "nn");
    put(card.birth, "birth");
    put(card.address, "address");
    put(card.id_number, "id");
    put(card.authority, "authority");
    put(card.valid_from, "from");
    put(card.valid_to, "to");
    put(card.pass_number, "pass");
    put(card.issue_count, "01");
    put(card.version, "v");
    card.id_check = VESSIK_ID_CHECK_WRONG;
    for (size_t i = 0; i < sizeof(card.photo); ++i)
        card.photo[i] = static_cast<unsigned char>(i * 7);
    card.text_block[255] = 0xFF;
    card.find_us = 1;
    card.select_us = 2;
    card.read_us = 3;
    card.decode_us = 4;
    put(card.type_marker, "J");
    card.fingerprint_state = VESSIK_ITEM_PRESENT;
    card.fingerprint_count = 1;
    card.fingerprint_bytes = 3;
    card.fingerprints[0] = 0xFB; // base64 "+/8A" needs both alphabet ends
    card.fingerprints[1] = 0xFF;
    card.appended_address_state = VESSIK_ITEM_PRESENT;
    put(card.appended_address, "new address");
    card.appended_address_raw_bytes = 2;
    card.appended_address_raw[0] = 'a';
    card.damaged_fields = VESSIK_FIELD_NAME | VESSIK_FIELD_TYPE_MARKER;

    const vessik_tools::Json j = vessik_tools::card_to_json(card);
    EXPECT_EQ("hmt-permit", j["type"]);
    EXPECT_EQ("name", j["name"]);
    EXPECT_EQ("name_en", j["name_en"]);
    EXPECT_EQ("2", j["sex"]);
    EXPECT_EQ("nc", j["nation_code"]);
    EXPECT_EQ("nn", j["nation_name"]);
    EXPECT_EQ("birth", j["birth"]);
    EXPECT_EQ("address", j["address"]);
    EXPECT_EQ("id", j["id_number"]);
    EXPECT_EQ("wrong", j["id_check"]);
    EXPECT_EQ("authority", j["authority"]);
    EXPECT_EQ("from", j["valid_from"]);
    EXPECT_EQ("to", j["valid_to"]);
    EXPECT_EQ("pass", j["pass_number"]);
    EXPECT_EQ("01", j["issue_count"]);
    EXPECT_EQ("v", j["version"]);
    EXPECT_EQ(vessik_tools::Json({{"find", 1}, {"select", 2}, {"read", 3}, {"decode", 4}}),
              j["times_us"]);
    EXPECT_TRUE(j["photo_image"].is_null());
    EXPECT_EQ(0u, j.count("type_marker")); // a known type's marker says nothing more
    EXPECT_EQ("present", j["fingerprint_state"]);
    EXPECT_EQ(1, j["fingerprint_count"]);
    EXPECT_EQ("+/8A", j["fingerprints"]);
    EXPECT_EQ("present", j["appended_address_state"]);
    EXPECT_EQ("new address", j["appended_address"]);
    EXPECT_EQ("YQA=", j["appended_address_raw"]);
    EXPECT_EQ(vessik_tools::Json({"name", "type_marker"}), j["damaged_fields"]);
    EXPECT_EQ(27u, j.size()); // nothing else

    std::vector<unsigned char> photo;
    ASSERT_TRUE(vessik_tools::base64_decode(j["photo"], photo));
    EXPECT_EQ(0, std::memcmp(card.photo, photo.data(), sizeof(card.photo)));
    ASSERT_EQ(sizeof(card.photo), photo.size());
    std::vector<unsigned char> block;
    ASSERT_TRUE(vessik_tools::base64_decode(j["text_block"], block));
    ASSERT_EQ(sizeof(card.text_block), block.size());
    EXPECT_EQ(0xFF, block[255]);
}

TEST(CardJson, EmptyFieldsKeepTheirKeys)
{
    vessik_card card;
    std::memset(&card, 0, sizeof(card));
    card.type = VESSIK_CARD_RESIDENT;
    card.id_check = VESSIK_ID_CHECK_NOT_APPLICABLE;
    const vessik_tools::Json j = vessik_tools::card_to_json(card);
    EXPECT_EQ("", j["name_en"]);
    EXPECT_EQ("", j["pass_number"]);
    EXPECT_EQ("not-applicable", j["id_check"]);
    EXPECT_EQ(20u, j.size()); // items not asked for add no key

    card.type = VESSIK_CARD_UNKNOWN;
    put(card.type_marker, "N");
    EXPECT_EQ("N", vessik_tools::card_to_json(card)["type_marker"]);

    card.fingerprint_state = VESSIK_ITEM_PRESENT;
    card.fingerprint_bytes = 5000; // a count past the array reads nothing past it
    std::vector<unsigned char> templates;
    ASSERT_TRUE(
        vessik_tools::base64_decode(vessik_tools::card_to_json(card)["fingerprints"], templates));
    EXPECT_EQ(sizeof(card.fingerprints), templates.size());
}

TEST(CardJson, AFieldWithoutTerminatorStopsAtItsEnd)
{
    vessik_card card;
    std::memset(&card, 0, sizeof(card));
    std::memset(card.name, 'A', sizeof(card.name)); // no NUL anywhere
    card.name_en[0] = 'B';
    EXPECT_EQ(std::string(sizeof(card.name), 'A'), vessik_tools::card_to_json(card)["name"]);
}

TEST(CardJson, BytesThatAreNotUtf8AreReplacedNotThrown)
{
    vessik_card card;
    std::memset(&card, 0, sizeof(card));
    // An unpaired surrogate as the card's UCS-2 decodes it: ED A0 80.
    put(card.name, "A\xED\xA0\x80Z");
    std::string text;
    ASSERT_NO_THROW(text = vessik_tools::json_text(vessik_tools::card_to_json(card)));
    EXPECT_NE(std::string::npos, text.find("\"name\":\"A\xEF\xBF\xBD")) << text;

    // At the start of a field, and the text after it kept.
    put(card.name, "\xED\xA0\x80测");
    ASSERT_NO_THROW(text = vessik_tools::json_text(vessik_tools::card_to_json(card)));
    const std::string name = nlohmann::json::parse(text).at("name");
    const std::string replacement = "\xEF\xBF\xBD"; // U+FFFD
    EXPECT_EQ(name.rfind(replacement, 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - std::strlen("测")), "测");
}

} // namespace
