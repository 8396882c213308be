// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik-read's own parts: the command line, the photo file name, and the
// JSON line and text it prints for a card. (The JSON form itself, and its
// base64, it shares with vessikd: tests/tools/common.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "card_json.h"
#include "card_output.h"
#include "cli_options.h"
#include "reader_output.h"

namespace {

vread::ParseOutcome Parse(std::initializer_list<const char *> args, vread::CliOptions &out,
                          std::string &error)
{
    std::vector<char *> argv = {const_cast<char *>("vessik-read")};
    for (const char *a : args)
        argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    return vread::parse_cli(static_cast<int>(argv.size()) - 1, argv.data(), out, error);
}

TEST(CliOptions, DefaultsAndEveryOptionInBothSpellings)
{
    vread::CliOptions o;
    std::string error;
    ASSERT_EQ(Parse({}, o, error), vread::ParseOutcome::Run);
    EXPECT_FALSE(o.json);
    EXPECT_FALSE(o.watch);
    EXPECT_EQ(o.timeout_ms, 0u);
    EXPECT_EQ(o.interval_ms, 0u);
    EXPECT_TRUE(o.photo_dir.empty());
    EXPECT_EQ(o.photo_format, "png");

    ASSERT_EQ(Parse({"--json", "--watch", "--timeout", "2.5", "--interval=250", "--photo=/tmp/p"},
                    o, error),
              vread::ParseOutcome::Run)
        << error;
    EXPECT_TRUE(o.json);
    EXPECT_TRUE(o.watch);
    EXPECT_EQ(o.timeout_ms, 2500u);
    EXPECT_EQ(o.interval_ms, 250u);
    EXPECT_EQ(o.photo_dir, "/tmp/p");

    ASSERT_EQ(
        Parse({"--once", "--timeout=0.0001", "--photo", "d", "--photo-format", "bmp"}, o, error),
        vread::ParseOutcome::Run);
    EXPECT_EQ(o.photo_format, "bmp");
    EXPECT_FALSE(o.watch);
    EXPECT_EQ(o.timeout_ms, 1u); // rounded up, never to "no deadline"
    EXPECT_TRUE(o.reader.empty());
    EXPECT_FALSE(o.list);

    ASSERT_EQ(Parse({"--reader", "usb:1-2", "--watch"}, o, error), vread::ParseOutcome::Run);
    EXPECT_EQ(o.reader, "usb:1-2");
    EXPECT_FALSE(o.fingerprints || o.appended_address);
    ASSERT_EQ(Parse({"--fingerprint", "--appended-address"}, o, error), vread::ParseOutcome::Run);
    EXPECT_TRUE(o.fingerprints && o.appended_address);
    ASSERT_EQ(Parse({"--fingerprints"}, o, error), vread::ParseOutcome::Run); // Python's spelling
    EXPECT_TRUE(o.fingerprints);
    EXPECT_EQ(Parse({"--list", "--fingerprint"}, o, error), vread::ParseOutcome::Usage);
    ASSERT_EQ(Parse({"--list", "--json"}, o, error), vread::ParseOutcome::Run);
    EXPECT_TRUE(o.list);
    EXPECT_TRUE(o.json);

    EXPECT_EQ(Parse({"--json", "--help"}, o, error), vread::ParseOutcome::Help);
    EXPECT_EQ(Parse({"-h"}, o, error), vread::ParseOutcome::Help);
}

TEST(CliOptions, UsageErrorsSayWhatIsWrongAndLeaveTheOptionsAlone)
{
    const struct {
        std::initializer_list<const char *> args;
        const char *error_part;
    } cases[] = {
        {{"--bogus"}, "unknown argument --bogus"},
        {{"card"}, "unknown argument card"},
        {{"--timeout"}, "needs a value"},
        {{"--timeout", "0"}, "--timeout 0"},
        {{"--timeout", "-1"}, "--timeout -1"},
        {{"--timeout", "soon"}, "--timeout soon"},
        {{"--timeout", "1e12"}, "--timeout 1e12"},
        {{"--timeout=nan"}, "--timeout nan"},
        {{"--interval", "0"}, "from 1 to 60000"},
        {{"--interval", "60001"}, "from 1 to 60000"},
        {{"--interval", "4294968"}, "from 1 to 60000"},
        {{"--interval", "-5"}, "from 1 to 60000"},
        {{"--interval", "1.5"}, "from 1 to 60000"},
        {{"--photo="}, "needs a folder"},
        {{"--photo", "d", "--photo-format", "jpg"}, "expected png or bmp"},
        {{"--photo-format", "png"}, "goes with --photo"},
        {{"--json=yes"}, "takes no value"},
        {{"--once", "--watch"}, "exclude each other"},
        {{"--reader"}, "needs a value"},
        {{"--reader="}, "needs a location"},
        {{"--list", "--reader", "usb"}, "--list reads no card"},
        {{"--list", "--watch"}, "--list reads no card"},
        {{"--list", "--timeout", "1"}, "--list reads no card"},
    };
    for (const auto &c : cases) {
        vread::CliOptions o;
        o.interval_ms = 77;
        std::string error;
        EXPECT_EQ(Parse(c.args, o, error), vread::ParseOutcome::Usage) << *c.args.begin();
        EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
        EXPECT_EQ(o.interval_ms, 77u);
    }
}

// The lines --help gives one option: from its name to the next option or the
// end of the list.
std::string OptionHelp(const std::string &usage, const std::string &option)
{
    size_t start = usage.find("\n  " + option + " ");
    if (start == std::string::npos)
        start = usage.find("\n  " + option + "\n");
    if (start == std::string::npos)
        start = usage.find("\n  " + option + ","); // followed by another spelling
    const size_t end = std::min(usage.find("\n  --", start + 1), usage.find("\n\n", start));
    return start == std::string::npos ? "" : usage.substr(start, end - start);
}

TEST(CliOptions, HelpListsEveryOptionWithItsDefaultAndEveryExitCode)
{
    const std::string usage = vread::cli_usage();
    for (const char *option :
         {"--json", "--once", "--watch", "--timeout", "--interval", "--photo", "--photo-format",
          "--reader", "--fingerprint", "--appended-address", "--list"})
        EXPECT_NE(OptionHelp(usage, option).find("default"), std::string::npos) << option;
    EXPECT_NE(OptionHelp(usage, "--help"), "");
    EXPECT_NE(OptionHelp(usage, "--timeout").find("default: wait for ever"), std::string::npos);
    // What photo_file_name keeps: the letters of foreign card numbers too.
    EXPECT_NE(OptionHelp(usage, "--photo").find("but digits and capital letters\n"),
              std::string::npos);
    for (const int code : {vread::kExitCardRead, vread::kExitUsage, vread::kExitNoReader,
                           vread::kExitTimeout, vread::kExitCancelled, vread::kExitReaderLost,
                           vread::kExitFailed, vread::kExitNoPhotoDecoder})
        EXPECT_NE(usage.find("  " + std::to_string(code) + "  "), std::string::npos) << code;
}

TEST(CliOptions, ErrorsAboutTheReaderPointToTheDoctor)
{
    const std::string hint = " (run vessik-doctor to see why)";
    const struct {
        int result;
        bool hinted;
    } cases[] = {
        {VESSIK_E_NO_READER, true},     {VESSIK_E_READER_IN_USE, true},
        {VESSIK_E_ACCESS, true},        {VESSIK_E_NOT_SUPPORTED, true},
        {VESSIK_E_TIMEOUT, false},      {VESSIK_E_READER_LOST, false},
        {VESSIK_E_BAD_LOCATION, false}, {VESSIK_E_NO_MEMORY, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(vread::error_text(c.result),
                  std::string(vessik_strerror(c.result)) + (c.hinted ? hint : ""))
            << c.result;
}

TEST(PhotoFileName, OnlyDigitsAndCapitalLettersSurvive)
{
    EXPECT_EQ(vread::photo_file_name("990000199003070013"), "990000199003070013.bmp");
    EXPECT_EQ(vread::photo_file_name("99000019950615004X"), "99000019950615004X.bmp");
    EXPECT_EQ(vread::photo_file_name("../../etc/x"), "___________.bmp");
    // Foreign card numbers that differ only in their letters keep apart.
    EXPECT_EQ(vread::photo_file_name("UTO990085031201"), "UTO990085031201.bmp");
    EXPECT_EQ(vread::photo_file_name("ABC990085031201"), "ABC990085031201.bmp");
    EXPECT_EQ(vread::photo_file_name("1x 2"), "1__2.bmp");
    EXPECT_EQ(vread::photo_file_name("测1"), "___1.bmp"); // every byte of a wide character
    EXPECT_EQ(vread::photo_file_name(""), "_.bmp");
}

vessik_card SampleCard()
{
    vessik_card card;
    memset(&card, 0, sizeof card);
    card.type = VESSIK_CARD_RESIDENT;
    strcpy(card.name, "测试样卡");
    strcpy(card.sex, "1");
    strcpy(card.nation_code, "01");
    strcpy(card.nation_name, "汉");
    strcpy(card.birth, "19900307");
    strcpy(card.address, "虚拟省 \"示例\" 市\\1号");
    strcpy(card.id_number, "990000199003070013");
    strcpy(card.authority, "示例市公安局");
    strcpy(card.valid_from, "20200101");
    strcpy(card.valid_to, "长期");
    card.id_check = VESSIK_ID_CHECK_OK;
    for (size_t i = 0; i < sizeof card.photo; ++i)
        card.photo[i] = static_cast<unsigned char>(i * 7);
    card.text_block[0] = 0x4B;
    card.find_us = 1200;
    card.select_us = 900;
    card.read_us = 903100;
    card.decode_us = 7;
    return card;
}

TEST(CardJson, EveryFieldByNameOnOneLine)
{
    const vessik_card card = SampleCard();
    const std::string line = vread::card_json_line(card, "");
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1); // one line, even with quotes and backslashes

    const nlohmann::json j = nlohmann::json::parse(line);
    EXPECT_EQ(j.at("type"), "resident");
    EXPECT_EQ(j.at("name"), card.name);
    EXPECT_EQ(j.at("address"), card.address);
    EXPECT_EQ(j.at("nation_code"), "01");
    EXPECT_EQ(j.at("nation_name"), "汉");
    EXPECT_EQ(j.at("valid_to"), "长期");
    EXPECT_EQ(j.at("id_check"), "ok");
    for (const char *key : {"name_en", "pass_number", "issue_count", "version"})
        EXPECT_EQ(j.at(key), "") << key;
    EXPECT_EQ(j.at("times_us").at("find"), 1200);
    EXPECT_EQ(j.at("times_us").at("read"), 903100);
    EXPECT_EQ(j.at("times_us").at("decode"), 7);
    EXPECT_EQ(j.at("photo"), vessik_tools::base64_encode(card.photo, sizeof card.photo));
    EXPECT_EQ(j.at("text_block").get<std::string>().substr(0, 4), "SwAA");
    EXPECT_TRUE(j.at("photo_image").is_null());

    EXPECT_EQ(nlohmann::json::parse(vread::card_json_line(card, "/p/9.bmp")).at("photo_image"),
              "/p/9.bmp");
}

TEST(ReaderList, AModuleNotKnownSaysWhy)
{
    vread::ListedReader held{};
    vessik_reader_info_init(&held.info);
    strcpy(held.info.location, "usb:3-1.4");
    held.info.transport = VESSIK_TRANSPORT_USB;
    held.info.vendor_id = 0x0400;
    held.info.product_id = 0xc35a;
    held.open_result = VESSIK_E_READER_IN_USE;
    vread::ListedReader silent = held;
    silent.open_result = VESSIK_OK; // opened, but no identifier came

    EXPECT_EQ(vread::reader_line(held),
              "usb:3-1.4  0400:c35a  module unknown (another program holds the reader)\n");
    EXPECT_EQ(vread::reader_line(silent), "usb:3-1.4  0400:c35a  module unknown (the module did "
                                          "not say)\n");
    const nlohmann::json list = nlohmann::json::parse(vread::reader_list_json({held}));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(list[0].at("module_id").is_null());
    EXPECT_EQ(list[0].at("error"), "another program holds the reader");
}

TEST(ReaderList, ASerialPortHasNoUsbId)
{
    vread::ListedReader port{};
    vessik_reader_info_init(&port.info);
    strcpy(port.info.location, "serial:/dev/ttyUSB0@9600");
    port.info.transport = VESSIK_TRANSPORT_SERIAL;
    port.open_result = VESSIK_E_NO_READER;

    EXPECT_EQ(vread::reader_line(port), "serial:/dev/ttyUSB0@9600  serial  module unknown (" +
                                            std::string(vessik_strerror(VESSIK_E_NO_READER)) +
                                            ")\n");
    const nlohmann::json list = nlohmann::json::parse(vread::reader_list_json({port}));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].at("transport"), "serial");
    EXPECT_TRUE(list[0].at("usb_id").is_null());
}

TEST(CardText, ShowsTheFieldsOfTheCardsOwnType)
{
    vessik_card card = SampleCard();
    std::string text = vread::card_text(card, "not written");
    EXPECT_NE(text.find("Name:           测试样卡\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Nationality:    01 汉\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ID number:      990000199003070013 (check ok)\n"), std::string::npos);
    EXPECT_NE(text.find("Sex:            1 (male)\n"), std::string::npos);
    EXPECT_NE(text.find("Photo:          not written\n"), std::string::npos);
    EXPECT_NE(text.find("read 903.1 ms"), std::string::npos);
    EXPECT_EQ(text.find("Pass number"), std::string::npos);
    EXPECT_EQ(text.find("English name"), std::string::npos);

    card.type = VESSIK_CARD_FOREIGN_PERMANENT;
    strcpy(card.name_en, "SPECIMEN, TEST");
    card.id_check = VESSIK_ID_CHECK_NOT_APPLICABLE;
    text = vread::card_text(card, "");
    EXPECT_NE(text.find("English name:   SPECIMEN, TEST\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Chinese name:   测试样卡\n"), std::string::npos);
    EXPECT_NE(text.find("Card number:    990000199003070013\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Address"), std::string::npos);

    card.type = VESSIK_CARD_HMT_PERMIT;
    strcpy(card.pass_number, "X99000001");
    text = vread::card_text(card, "");
    EXPECT_NE(text.find("Pass number:    X99000001\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Nationality"), std::string::npos);
    EXPECT_EQ(text.find("Fingerprints"), std::string::npos); // not asked for

    // A layout we do not know: its marker, and no field at all.
    card.type = VESSIK_CARD_UNKNOWN;
    strcpy(card.type_marker, "N");
    text = vread::card_text(card, "");
    EXPECT_NE(text.find("Card:           unknown\nType marker:    N\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Name"), std::string::npos) << text;
    EXPECT_EQ(text.find("ID number"), std::string::npos) << text;

    // Items asked for beside text and photo.
    card.fingerprint_state = VESSIK_ITEM_PRESENT;
    card.fingerprint_count = 2;
    card.fingerprint_bytes = 1024;
    card.appended_address_state = VESSIK_ITEM_ABSENT;
    text = vread::card_text(card, "");
    EXPECT_NE(text.find("Fingerprints:   2 template(s), 1024 bytes\n"), std::string::npos) << text;
    EXPECT_NE(text.find("New address:    (absent)\n"), std::string::npos) << text;
}

// A forged card's controls reach no terminal: they show escaped, and a line
// end in a field forges no line.
TEST(CardText, ControlCharactersAreShownEscaped)
{
    vessik_card card = SampleCard();
    strcpy(card.name, "A\x1b[2J\x1b[31mB\nC\x7f"
                      "D\xc2\x9b"
                      "E");
    const std::string text = vread::card_text(card, "");
    EXPECT_NE(text.find("Name:           A\\x1b[2J\\x1b[31mB\\x0aC\\x7fD\\xc2\\x9bE\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
              std::count(text.begin(), text.end(), ':')); // one line per label
}

} // namespace
