// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik_read through the test bus: each card type decoded into the lossless
// record, the identity check, the raw text and photo, the messages, the
// argument checks and the texts for codes and types.
#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>

#include "ApiTestSupport.h"
#include "record_compare.h"

namespace {

using apitest::ReadApiTest;
using testsupport::ExpectBusReleased;
using testsupport::ExpectRecordShows;
using testsupport::StatusRecorder;

const std::string kFifteen = "甲乙丙丁戊己庚辛壬癸子丑寅卯辰";
// 35 characters: the whole address field.
const std::string kLongAddress =
    "虚拟省示例市模拟区测试路一二三四五六七八九十号院甲乙丙丁戊己庚辛壬癸子";
// 60 characters with spaces inside: the whole English name field.
const std::string kLongEnglishName = "SPECIMEN-LONGNAME, TEST SAMPLE CARD WITH SPACES INSIDE ABCDE";

std::string WithCheck(const std::string &first17)
{
    return first17 + vsim::id_check_char(first17);
}

std::string Block(const vessik_card &card)
{
    return std::string(reinterpret_cast<const char *>(card.text_block), sizeof card.text_block);
}

std::string Photo(const vessik_card &card)
{
    return std::string(reinterpret_cast<const char *>(card.photo), sizeof card.photo);
}

std::string Block(const vsim::CardFields &card)
{
    const auto block = vsim::build_text_block(card);
    return std::string(block.begin(), block.end());
}

std::string Photo(const vsim::CardFields &card)
{
    return std::string(card.photo.begin(), card.photo.end());
}

class DecodeTest : public ReadApiTest {
  protected:
    // Reads `card` as a fresh presentation; the test stops on anything but a read.
    void ReadCard(const vsim::CardFields &card)
    {
        Present(card);
        ASSERT_EQ(Read(), VESSIK_OK);
        EXPECT_EQ(Block(card_), Block(card)) << "the text as the card gave it";
        EXPECT_EQ(Photo(card_), Photo(card)) << "the photo as the card gave it";
    }
};

// Each type with its fields at full length: every field the type carries as
// the card holds it, the others empty. A permit's nationality bytes are
// reserved: no code, no name.
TEST_F(DecodeTest, EveryCardTypeEveryFieldAtFullLength)
{
    vsim::CardFields resident = vsim::sample_card();
    resident.name = kFifteen;
    resident.sex = "2";
    resident.nation = "29";
    resident.birth = "20010228";
    resident.address = kLongAddress;
    resident.id_number = WithCheck("99000020010228002");
    resident.authority = "示例省示例市公安局模拟分局户政";
    resident.valid_from = "20190301";
    resident.valid_to = "长期";
    resident.photo = vsim::photo_from_seed(29);
    vsim::CardFields foreign = vsim::sample_foreign_permanent_card();
    foreign.name_en = kLongEnglishName;
    foreign.name = kFifteen;
    vsim::CardFields permit = vsim::sample_hmt_permit_card();
    permit.address = kLongAddress;
    const struct {
        const vsim::CardFields &card;
        int type;
        const char *type_name;
        const char *nation_name;
        int id_check; // a permit's check character is X
    } cases[] = {
        {resident, VESSIK_CARD_RESIDENT, "resident", "柯尔克孜", VESSIK_ID_CHECK_OK},
        {foreign, VESSIK_CARD_FOREIGN_PERMANENT, "foreign-permanent", "",
         VESSIK_ID_CHECK_NOT_APPLICABLE},
        {permit, VESSIK_CARD_HMT_PERMIT, "hmt-permit", "", VESSIK_ID_CHECK_OK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.type_name);
        ReadCard(c.card);
        EXPECT_EQ(card_.type, c.type);
        EXPECT_STREQ(vessik_card_type_name(card_.type), c.type_name);
        ExpectRecordShows(card_, c.card);
        EXPECT_STREQ(card_.nation_name, c.nation_name);
        EXPECT_EQ(card_.id_check, c.id_check);
    }
}

TEST_F(DecodeTest, NationalityCodeKeepsItsDigitsAndGainsItsName)
{
    const struct {
        const char *code;
        const char *name;
    } cases[] = {
        {"01", "汉"},       {"29", "柯尔克孜"}, {"43", "乌孜别克"}, {"56", "基诺"},
        {"00", ""},         {"07", "彝"},       {"47", "保安"},     {"97", "其他"},
        {"98", "外国血统"}, {"57", ""},         {"99", ""},
    };
    for (const auto &c : cases) {
        vsim::CardFields card = vsim::sample_card();
        card.nation = c.code;
        ReadCard(card);
        EXPECT_STREQ(card_.nation_code, c.code);
        EXPECT_STREQ(card_.nation_name, c.name) << c.code;
    }
}

TEST_F(DecodeTest, IdentityCheckIsReportedNeverEnforced)
{
    const struct {
        vsim::CardType type;
        std::string id_number;
        int check;
        std::string kept{}; // what the digit field keeps, when not all of it
    } cases[] = {
        {vsim::CardType::Resident, "990000199003070013", VESSIK_ID_CHECK_OK},
        {vsim::CardType::Resident, "990000199003070014", VESSIK_ID_CHECK_WRONG},
        {vsim::CardType::Resident, "99000019950615004X", VESSIK_ID_CHECK_OK},
        {vsim::CardType::Resident, "990000199506150040", VESSIK_ID_CHECK_WRONG},
        {vsim::CardType::Resident, "99000019900307001", VESSIK_ID_CHECK_WRONG}, // 17 characters
        {vsim::CardType::Resident, "9900001990030700A3", VESSIK_ID_CHECK_WRONG,
         "99000019900307003"},
        {vsim::CardType::Resident, "", VESSIK_ID_CHECK_WRONG},
        {vsim::CardType::HmtPermit, "99000019950615004X", VESSIK_ID_CHECK_OK},
        {vsim::CardType::HmtPermit, "990000199506150041", VESSIK_ID_CHECK_WRONG},
    };
    for (const auto &c : cases) {
        vsim::CardFields card = c.type == vsim::CardType::HmtPermit ? vsim::sample_hmt_permit_card()
                                                                    : vsim::sample_card();
        card.id_number = c.id_number;
        ReadCard(card);
        EXPECT_EQ(card_.id_number, c.kept.empty() ? c.id_number : c.kept);
        EXPECT_EQ(card_.damaged_fields, c.kept.empty() ? 0u : VESSIK_FIELD_ID_NUMBER);
        EXPECT_EQ(card_.id_check, c.check) << c.id_number;
    }
}

TEST_F(DecodeTest, MessagesGoToThisReadsCallbackOnly)
{
    // The documented interface's callback stays out of the extended read.
    CARD_SetReadInfoCB(StatusRecorder::Record);
    options_.callback = nullptr;
    ReadCard(vsim::sample_card());
    EXPECT_TRUE(StatusRecorder::Get().Tagged().empty());
    ExpectBusReleased();

    options_.callback = StatusRecorder::Record;
    ReadCard(vsim::sample_hmt_permit_card());
    EXPECT_EQ(StatusRecorder::Get().Tagged(),
              std::vector<std::string>({"3:usb connect ok", "3:read card  successful"}));
    ExpectBusReleased();
}

TEST_F(DecodeTest, BadArgumentsAreRefusedBeforeTheReaderIsOpened)
{
    Present(vsim::sample_card());
    EXPECT_EQ(vessik_read(&options_, nullptr), VESSIK_E_BAD_ARGUMENT);
    EXPECT_EQ(vessik_read(nullptr, nullptr), VESSIK_E_BAD_ARGUMENT);
    // Smaller than the first published options or card.
    for (const unsigned size : {0u, static_cast<unsigned>(VESSIK_READ_OPTIONS_SIZE_V1) - 1}) {
        vessik_read_options odd = options_;
        odd.size = size;
        EXPECT_EQ(vessik_read(&odd, &card_), VESSIK_E_BAD_ARGUMENT) << size;
    }
    vessik_card small_card;
    vessik_card_init(&small_card);
    small_card.size = static_cast<unsigned>(VESSIK_CARD_SIZE_V2) - 1;
    EXPECT_EQ(vessik_read(&options_, &small_card), VESSIK_E_BAD_ARGUMENT);
    EXPECT_TRUE(apitest::Untouched(card_));
    EXPECT_TRUE(testbus::calls().empty());
    EXPECT_TRUE(StatusRecorder::Get().Tagged().empty());

    // No options at all: the defaults, which read the card on the reader.
    EXPECT_EQ(vessik_read(nullptr, &card_), VESSIK_OK);
    EXPECT_EQ(card_.id_number, vsim::sample_card().id_number);
}

// Clients built against an older or a newer header pass their own sizes.
TEST_F(DecodeTest, OptionsOfTheFirstSizeAndOfLargerOnesAreAccepted)
{
    struct Larger {
        vessik_read_options options;
        unsigned char appended[16];
    } larger;
    memset(&larger, 0, sizeof larger);
    larger.options = options_;
    larger.options.size = sizeof larger;
    Present(vsim::sample_card());
    EXPECT_EQ(vessik_read(&larger.options, &card_), VESSIK_OK);

    // The first published options, with a deadline: a lifted card times out.
    Lift();
    vessik_read_options first = options_;
    first.size = static_cast<unsigned>(VESSIK_READ_OPTIONS_SIZE_V1);
    first.deadline_ms = 300;
    EXPECT_EQ(vessik_read(&first, &card_), VESSIK_E_TIMEOUT);
}

// A card of the first published size gets the fields it has and nothing past them.
TEST_F(DecodeTest, CardOfASmallerKnownSizeIsFilledOnlyUpToItsSize)
{
    struct Guarded {
        vessik_card card;
        unsigned char after[64];
    } guarded;
    memset(&guarded, apitest::kUntouched, sizeof guarded);
    guarded.card.size = static_cast<unsigned>(offsetof(vessik_card, decode_us) + sizeof(unsigned));
    Present(vsim::sample_card());
    ASSERT_LT(guarded.card.size, VESSIK_CARD_SIZE_V2); // below the first size: refused
    EXPECT_EQ(vessik_read(&options_, &guarded.card), VESSIK_E_BAD_ARGUMENT);

    guarded.card.size = static_cast<unsigned>(VESSIK_CARD_SIZE_V2);
    ASSERT_EQ(vessik_read(&options_, &guarded.card), VESSIK_OK);
    EXPECT_EQ(guarded.card.size, VESSIK_CARD_SIZE_V2);
    EXPECT_EQ(guarded.card.id_number, vsim::sample_card().id_number);
    const auto *bytes = reinterpret_cast<const unsigned char *>(&guarded);
    for (size_t i = VESSIK_CARD_SIZE_V2; i < sizeof guarded; ++i)
        ASSERT_EQ(bytes[i], apitest::kUntouched) << i;
}

TEST(ReadOptions, InitFillsTheDefaultsAndToleratesNull)
{
    vessik_read_options options;
    memset(&options, 0xA5, sizeof options);
    vessik_read_options_init(&options);
    EXPECT_EQ(options.size, sizeof options);
    EXPECT_EQ(options.deadline_ms, 0u);
    EXPECT_EQ(options.poll_interval_ms, static_cast<unsigned>(VESSIK_DEFAULT_POLL_INTERVAL_MS));
    EXPECT_EQ(VESSIK_DEFAULT_POLL_INTERVAL_MS, 100);
    EXPECT_EQ(options.report_same_card, 0);
    EXPECT_EQ(options.callback, nullptr);
    vessik_read_options_init(nullptr);
}

TEST(ResultTexts, EveryCodeHasItsOwnTextAndUnknownCodesShareOne)
{
    const int codes[] = {VESSIK_OK,
                         VESSIK_E_TIMEOUT,
                         VESSIK_E_CANCELLED,
                         VESSIK_E_NO_READER,
                         VESSIK_E_READER_LOST,
                         VESSIK_E_BAD_ARGUMENT,
                         VESSIK_E_BUSY,
                         VESSIK_E_NOT_SUPPORTED,
                         VESSIK_E_BAD_LOCATION,
                         VESSIK_E_READER_IN_USE,
                         VESSIK_E_ACCESS,
                         VESSIK_E_NO_MEMORY,
                         VESSIK_E_DECODER_FAILED,
                         VESSIK_E_BAD_IMAGE};
    std::set<std::string> texts;
    for (const int code : codes) {
        const char *text = vessik_strerror(code);
        ASSERT_NE(text, nullptr) << code;
        EXPECT_GT(strlen(text), 0u) << code;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), sizeof codes / sizeof codes[0]);

    const std::string unknown = vessik_strerror(1);
    EXPECT_EQ(texts.count(unknown), 0u);
    for (const int code : {-14, -100, 2, 100, INT_MIN, INT_MAX})
        EXPECT_EQ(vessik_strerror(code), unknown) << code;
}

TEST(ResultTexts, CardTypeNamesMatchTheCardFileNames)
{
    EXPECT_STREQ(vessik_card_type_name(VESSIK_CARD_RESIDENT),
                 vsim::card_type_name(vsim::CardType::Resident));
    EXPECT_STREQ(vessik_card_type_name(VESSIK_CARD_FOREIGN_PERMANENT),
                 vsim::card_type_name(vsim::CardType::ForeignPermanent));
    EXPECT_STREQ(vessik_card_type_name(VESSIK_CARD_HMT_PERMIT),
                 vsim::card_type_name(vsim::CardType::HmtPermit));
    for (const int type : {0, 4, -1})
        EXPECT_STREQ(vessik_card_type_name(type), "unknown") << type;
}

} // namespace
