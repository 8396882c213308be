// SPDX-License-Identifier: LGPL-2.1-or-later
// One card read through the test bus: the poll and its waits, the checks on
// each answer, the messages, the record byte for byte, and the close.
#include <gtest/gtest.h>

#include <cstring>
#include <libusb.h>
#include <memory>
#include <string>
#include <vector>

#include "CardMain.h"
#include "bus_fixture.h"
#include "output_capture.h"
#include "status_recorder.h"
#include "testbus.h"
#include "virtual_reader.h"

using testsupport::Capture;
using testsupport::Commands;
using testsupport::StatusRecorder;

namespace {

const std::vector<std::string> kReadMessages = {"usb connect ok", "read card  successful"};

bool AllBytesAre(const unsigned char *p, size_t n, unsigned char value)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != value)
            return false;
    return true;
}

std::string Field(const char *field, size_t width)
{
    return std::string(field, strnlen(field, width));
}

class CardReadTest : public testsupport::BusTest {
  protected:
    CardReadTest() : BusTest(vsim::sample_card()) {}
    void SetUp() override
    {
        BusTest::SetUp();
        StatusRecorder::Get().Clear();
        reader_main_.IDCARD_SetReadInfoCB(StatusRecorder::Record);
        memset(&info_, 0, sizeof(info_));
    }

    int Read(Cardtype kind = CARDTYPE_USB)
    {
        int rc = -99;
        output_ = Capture([&] { rc = reader_main_.IReadCardInfo(&info_, kind); });
        return rc;
    }

    // Reads the sample card with one field set to `value`, from a reader of
    // its own on a bus that starts afresh.
    int ReadWith(std::string vsim::CardFields::*field, const std::string &value)
    {
        vsim::CardFields card = card_;
        card.*field = value;
        testbus::reset();
        fresh_reader_ = std::make_unique<vsim::VirtualReader>(card);
        testbus::attach(fresh_reader_.get());
        memset(&info_, 0, sizeof(info_));
        return Read();
    }

    void ExpectClosed()
    {
        testsupport::ExpectBusReleased();
        EXPECT_EQ(reader_main_.usb.dev_handle, nullptr);
        EXPECT_EQ(reader_main_.usb.usb_context, nullptr);
    }

    vsim::CardFields card_ = vsim::sample_card();
    std::unique_ptr<vsim::VirtualReader> fresh_reader_;
    CardMain reader_main_;
    idInfo info_;
    testsupport::Output output_;
};

TEST_F(CardReadTest, OtherKindsReturnZeroWithoutOpeningAnything)
{
    memset(&info_, 0x5A, sizeof(info_));
    const idInfo before = info_;
    for (int kind : {0, 2, -1, 7}) {
        EXPECT_EQ(Read(static_cast<Cardtype>(kind)), 0);
        EXPECT_EQ(reader_main_.card_type, kind);
    }
    EXPECT_TRUE(testbus::calls().empty());
    EXPECT_TRUE(StatusRecorder::Get().Messages().empty());
    EXPECT_EQ(memcmp(&before, &info_, sizeof(info_)), 0);
}

TEST_F(CardReadTest, NullRecordReturnsZeroWithoutOpeningAnything)
{
    EXPECT_EQ(reader_main_.IReadCardInfo(nullptr, CARDTYPE_USB), 0);
    EXPECT_TRUE(testbus::calls().empty());
    EXPECT_TRUE(StatusRecorder::Get().Messages().empty());
}

TEST_F(CardReadTest, NoReaderSendsConnectErrWaitsOneSecondAndReturnsFive)
{
    testbus::attach(nullptr);
    memset(&info_, 0x5A, sizeof(info_));
    const idInfo before = info_;
    EXPECT_EQ(Read(), 5);
    EXPECT_EQ(StatusRecorder::Get().Texts(), std::vector<std::string>{"usb connect err"});
    EXPECT_EQ(testbus::sleeps_us(), std::vector<uint64_t>{1000000});
    EXPECT_EQ(output_.err.rfind("Cannot open device,Please check device...\n", 0), 0u);
    EXPECT_EQ(memcmp(&before, &info_, sizeof(info_)), 0);
    ExpectClosed();
}

TEST_F(CardReadTest, CardOnTheReaderFillsTheRecordByteForByte)
{
    ASSERT_EQ(Read(), 1);
    EXPECT_EQ(StatusRecorder::Get().Texts(), kReadMessages);
    for (const auto &m : StatusRecorder::Get().Messages())
        EXPECT_EQ(m.first, 3);
    EXPECT_EQ(Commands(), "SFER");
    ExpectClosed();

    EXPECT_EQ(Field(info_.name, sizeof(info_.name)), card_.name);
    EXPECT_EQ(Field(info_.sex, sizeof(info_.sex)), card_.sex);
    EXPECT_EQ(Field(info_.nation, sizeof(info_.nation)), "汉");
    EXPECT_EQ(Field(info_.birth, sizeof(info_.birth)), card_.birth);
    EXPECT_EQ(Field(info_.address, sizeof(info_.address)), card_.address);
    EXPECT_EQ(Field(info_.cardno, sizeof(info_.cardno)), card_.id_number);
    EXPECT_EQ(Field(info_.authority, sizeof(info_.authority)), card_.authority);
    EXPECT_EQ(Field(info_.starttime, sizeof(info_.starttime)), card_.valid_from);
    EXPECT_EQ(Field(info_.endtime, sizeof(info_.endtime)), card_.valid_to);
    EXPECT_EQ(std::vector<uint8_t>(info_.photo, info_.photo + 1024), card_.photo);
    EXPECT_EQ(info_.photo_len, 1024);

    // Every text field ends inside its own width.
    EXPECT_LT(strnlen(info_.name, sizeof(info_.name)), sizeof(info_.name));
    EXPECT_LT(strnlen(info_.nation, sizeof(info_.nation)), sizeof(info_.nation));
    EXPECT_TRUE(AllBytesAre(info_.reserved1, sizeof(info_.reserved1), 0));
    EXPECT_TRUE(AllBytesAre(info_.reserved2, sizeof(info_.reserved2), 0));
    EXPECT_TRUE(AllBytesAre(info_.ic_data, sizeof(info_.ic_data), 0));
    EXPECT_EQ(info_.ic_len, 0);
    EXPECT_TRUE(AllBytesAre(info_.reserved3, sizeof(info_.reserved3), 0));
}

TEST_F(CardReadTest, WaitsComeInTheirOrderAroundEachCommand)
{
    ASSERT_EQ(Read(), 1);
    const std::vector<uint64_t> expected = {100, 100, 100, 100, 100, 100, 600, 900000};
    EXPECT_EQ(testbus::sleeps_us(), expected);
}

TEST_F(CardReadTest, EveryAnswerIsReadWithAHundredMillisecondTimeout)
{
    ASSERT_EQ(Read(), 1);
    int in_stages = 0;
    for (const testbus::Call &c : testsupport::BulkCalls()) {
        if ((c.endpoint & LIBUSB_ENDPOINT_IN) == 0)
            continue;
        ++in_stages;
        EXPECT_EQ(c.timeout_ms, 100u);
        EXPECT_EQ(c.length, 2048);
    }
    EXPECT_EQ(in_stages, 8); // four answers, two stages each
}

TEST_F(CardReadTest, PollingGoesBackToTheStatusQueryUntilACardIsFound)
{
    reader_.remove_card();
    reader_.knobs().card_arrives_after_finds = 3;
    reader_.insert_card(card_);
    ASSERT_EQ(Read(), 1);
    EXPECT_EQ(Commands(), "SFSFSFSFER");
    EXPECT_EQ(StatusRecorder::Get().Texts(), kReadMessages);
    const std::vector<uint64_t> sleeps = testbus::sleeps_us();
    ASSERT_EQ(sleeps.size(), 3 * 4 + 8u);
    EXPECT_EQ(sleeps.back(), 900000u);
}

TEST_F(CardReadTest, FailedSelectGoesBackToTheStatusQuery)
{
    reader_.knobs().select_fails = 2;
    ASSERT_EQ(Read(), 1);
    EXPECT_EQ(Commands(), "SFESFESFER");
}

TEST_F(CardReadTest, DamagedPreambleAndCheckByteAreAcceptedAllTheSame)
{
    reader_.knobs().damage_preamble = true;
    reader_.knobs().damage_check_byte = true;
    ASSERT_EQ(Read(), 1);
    EXPECT_EQ(Commands(), "SFER");
    EXPECT_EQ(Field(info_.cardno, sizeof(info_.cardno)), card_.id_number);
}

TEST_F(CardReadTest, EitherLengthByteOfTheReadAnswerIsEnough)
{
    for (int length_field : {0x05FF, 0xFF08}) {
        SCOPED_TRACE(length_field);
        testbus::reset();
        vsim::VirtualReader reader(card_);
        reader.knobs().read_length_field = length_field;
        testbus::attach(&reader);
        memset(&info_, 0, sizeof(info_));
        ASSERT_EQ(Read(), 1);
        EXPECT_EQ(Commands(), "SFER");
    }
}

// Body stages (from offset 7 of the frame) of the module's answers, told
// apart by length: a find answer's body is 8 bytes, a select answer's 12.
constexpr size_t kFindBody = 8;
constexpr size_t kSelectBody = 12;
constexpr size_t kBodyStatus = 9 - 7;
constexpr size_t kFindCheck = 14 - 7;
constexpr size_t kSelectCheck = 18 - 7;

TEST_F(CardReadTest, FindIsAcceptedOnItsSecondMarkAlone)
{
    testbus::set_in_filter([](uint8_t ep, std::vector<uint8_t> &stage) {
        if (ep == 0x85 && stage.size() == kFindBody) {
            stage[kBodyStatus] = 0x80; // "no card", but byte 14 still says 97
            stage[kFindCheck] = 0x97;
        }
    });
    ASSERT_EQ(Read(), 1);
    EXPECT_EQ(Commands(), "SFER");
}

TEST_F(CardReadTest, SelectIsAcceptedOnItsSecondMarkAlone)
{
    testbus::set_in_filter([](uint8_t ep, std::vector<uint8_t> &stage) {
        if (ep == 0x85 && stage.size() == kSelectBody) {
            stage[kBodyStatus] = 0x81;
            stage[kSelectCheck] = 0x97;
        }
    });
    ASSERT_EQ(Read(), 1);
    EXPECT_EQ(Commands(), "SFER");
}

TEST_F(CardReadTest, FindOrSelectWithNeitherMarkGoesBackToTheStatusQuery)
{
    int finds_spoiled = 0;
    int selects_spoiled = 0;
    testbus::set_in_filter([&](uint8_t ep, std::vector<uint8_t> &stage) {
        if (ep != 0x85)
            return;
        if (stage.size() == kFindBody && finds_spoiled < 2) {
            ++finds_spoiled;
            stage[kBodyStatus] = 0x9E;
            stage[kFindCheck] = 0x96;
        } else if (stage.size() == kSelectBody && selects_spoiled < 1) {
            ++selects_spoiled;
            stage[kBodyStatus] = 0x91;
            stage[kSelectCheck] = 0x98;
        }
    });
    reader_.knobs().refind_after_read = true;
    ASSERT_EQ(Read(), 1);
    EXPECT_EQ(Commands(), "SFSFSFESFER");
}

// A read answer that fails its checks sends the poll back to the status
// query; the reader then goes away, which ends the read without a record.
TEST_F(CardReadTest, ShortOrMislabelledReadAnswersAreNeverDecoded)
{
    struct Fault {
        const char *what;
        int body_bytes;
        int length_field;
    };
    for (const Fault &f : {Fault{"short", 1000, -1}, Fault{"mislabelled", -1, 0x0000},
                           Fault{"one byte short", 1287, -1}}) {
        SCOPED_TRACE(f.what);
        testbus::reset();
        vsim::VirtualReader reader(card_);
        reader.knobs().refind_after_read = true;
        reader.knobs().read_answer_body_bytes = f.body_bytes;
        reader.knobs().read_length_field = f.length_field;
        // Two full cycles of four commands, each 2 OUT + 2 IN stages, then
        // the reader is pulled.
        reader.knobs().unplug_after_transfers = 2 * 4 * 4;
        testbus::attach(&reader);
        StatusRecorder::Get().Clear();
        memset(&info_, 0x5A, sizeof(info_));
        const idInfo before = info_;
        EXPECT_EQ(Read(), 5);
        EXPECT_EQ(Commands().substr(0, 8), "SFERSFER");
        EXPECT_EQ(memcmp(&before, &info_, sizeof(info_)), 0);
        EXPECT_EQ(StatusRecorder::Get().Texts(),
                  (std::vector<std::string>{"usb connect ok", "usb connect err"}));
        ExpectClosed();
    }
}

TEST_F(CardReadTest, UnplugWhilePollingEndsWithFiveAndTheNextReadWorks)
{
    reader_.remove_card();
    reader_.knobs().unplug_after_transfers = 20;
    ASSERT_EQ(Read(), 5);
    EXPECT_EQ(StatusRecorder::Get().Texts(),
              (std::vector<std::string>{"usb connect ok", "usb connect err"}));
    EXPECT_EQ(testbus::sleeps_us().back(), 1000000u);
    ExpectClosed();

    reader_.knobs().unplug_after_transfers = 0;
    reader_.replug();
    reader_.insert_card(card_);
    StatusRecorder::Get().Clear();
    EXPECT_EQ(Read(), 1);
    EXPECT_EQ(StatusRecorder::Get().Texts(), kReadMessages);
    ExpectClosed();
}

TEST_F(CardReadTest, WithoutACallbackTheReadSucceedsQuietly)
{
    CardMain quiet;
    int rc = 0;
    Capture([&] { rc = quiet.IReadCardInfo(&info_, CARDTYPE_USB); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(Field(info_.cardno, sizeof(info_.cardno)), card_.id_number);
    EXPECT_TRUE(StatusRecorder::Get().Messages().empty());
}

TEST_F(CardReadTest, UnclearedRecordKeepsWhatTheNewTextsDoNotOverwrite)
{
    memset(&info_, 'Z', sizeof(info_));
    ASSERT_EQ(Read(), 1);
    const size_t name_len = card_.name.size();
    EXPECT_EQ(std::string(info_.name, name_len), card_.name);
    // Bytes 0..7 are cleared before decoding, the rest keeps the caller's.
    for (size_t i = name_len; i < sizeof(info_.name); ++i)
        EXPECT_EQ(info_.name[i], i < 8 ? 0 : 'Z') << i;
    EXPECT_EQ(info_.sex[1], 'Z');
    EXPECT_TRUE(AllBytesAre(info_.reserved1, sizeof(info_.reserved1), 'Z'));
    EXPECT_TRUE(AllBytesAre(info_.ic_data, sizeof(info_.ic_data), 'Z'));
}

struct NationCase {
    const char *code;
    const char *shown;
};

TEST_F(CardReadTest, NationalityNamesThatFitReplaceTheCodeDigits)
{
    const NationCase cases[] = {
        {"01", "汉"}, {"30", "土"},
        {"07", "彝"}, {"56", "56"}, // 基诺 does not fit with a terminator
        {"02", "02"}, {"29", "29"},
        {"00", "00"}, {"47", "47"}, // nor 保安
        {"57", "57"}, {"97", "97"},
        {"98", "98"}, {"99", "99"},
    };
    for (const NationCase &c : cases) {
        SCOPED_TRACE(c.code);
        ASSERT_EQ(ReadWith(&vsim::CardFields::nation, c.code), 1);
        EXPECT_EQ(Field(info_.nation, sizeof(info_.nation)), c.shown);
        EXPECT_EQ(Field(info_.birth, sizeof(info_.birth)), card_.birth);
    }
}

TEST_F(CardReadTest, LongNamesAreCutBetweenCharactersInsideTheField)
{
    struct NameCase {
        std::string name;
        std::string stored;
    };
    const NameCase cases[] = {
        // Fifteen characters of three bytes: nine fit in 29 bytes.
        {"一二三四五六七八九十百千万亿兆", "一二三四五六七八九"},
        {"一二三四五六七八九", "一二三四五六七八九"},
        // The middle dot of a transliterated name is proper two-byte UTF-8.
        {"阿依·买买提", "阿依\xC2\xB7买买提"},
    };
    for (const NameCase &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(ReadWith(&vsim::CardFields::name, c.name), 1);
        EXPECT_EQ(Field(info_.name, sizeof(info_.name)), c.stored);
        EXPECT_EQ(info_.name[29], 0);
        EXPECT_EQ(Field(info_.sex, sizeof(info_.sex)), card_.sex);
    }
}

} // namespace
