// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik-read end to end: the real program with its real libusb-1.0 against
// the virtual reader of vessik-virtual-reader.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "card.h"
#include "card_fixtures.h"
#include "card_json.h"
#include "card_output.h"
#include "child_process.h"
#include "cli_options.h"
#include "launcher_run.h"

namespace {

const std::string kLauncher = VESSIK_LAUNCHER;
const std::string kCli = VESSIK_READ_CLI;
const std::string kCardsDir = VSIM_CARDS_DIR;
const std::string kFakeDecoder = FAKE_DECODER;
const std::string kFakeBmpDecoder = FAKE_BMP_DECODER;

using testsupport::NowS;
using testsupport::Process;

std::vector<std::string> UnderLauncher(const std::vector<std::string> &launcher_args,
                                       std::vector<std::string> cli_args)
{
    cli_args.insert(cli_args.begin(), kCli);
    return testsupport::UnderLauncher(kLauncher, launcher_args, cli_args);
}

std::string Base64Of(const std::vector<uint8_t> &bytes)
{
    return vessik_tools::base64_encode(bytes.data(), bytes.size());
}

// What the object must say for a card of the virtual reader.
void ExpectCard(const nlohmann::json &j, const vsim::CardFields &card)
{
    EXPECT_EQ(j.at("type"), vsim::card_type_name(card.type));
    EXPECT_EQ(j.at("name"), card.name);
    EXPECT_EQ(j.at("sex"), card.sex);
    EXPECT_EQ(j.at("birth"), card.birth);
    EXPECT_EQ(j.at("id_number"), card.id_number);
    EXPECT_EQ(j.at("valid_from"), card.valid_from);
    EXPECT_EQ(j.at("valid_to"), card.valid_to);
    EXPECT_EQ(j.at("name_en"), card.name_en);
    EXPECT_EQ(j.at("version"), card.version);
    EXPECT_EQ(j.at("pass_number"), card.pass_number);
    EXPECT_EQ(j.at("issue_count"), card.issue_count);
    EXPECT_EQ(j.at("address"), card.address);
    if (card.type == vsim::CardType::ForeignPermanent) {
        EXPECT_EQ(j.at("nation_code"), card.nation_code3);
        EXPECT_EQ(j.at("authority"), card.authority_code);
        EXPECT_EQ(j.at("id_check"), "not-applicable");
    } else {
        EXPECT_EQ(j.at("nation_code"), card.nation);
        EXPECT_EQ(j.at("authority"), card.authority);
        EXPECT_EQ(j.at("id_check"), "ok");
    }
    const auto block = vsim::build_text_block(card);
    EXPECT_EQ(j.at("text_block"), Base64Of(std::vector<uint8_t>(block.begin(), block.end())));
    EXPECT_EQ(j.at("photo"), Base64Of(card.photo));
    EXPECT_GE(j.at("times_us").at("read").get<unsigned>(), 900000u);
}

TEST(VessikReadE2e, JsonOnceIsOneObjectThatPythonParses)
{
    Process p;
    ASSERT_TRUE(p.Start(UnderLauncher({}, {"--json", "--once"})));
    ASSERT_EQ(p.Wait(), vread::kExitCardRead) << p.err;
    ASSERT_EQ(p.Lines(), 1u) << p.out;
    // The extended read says nothing of its own on either stream, and
    // vessik-read keeps them as they are.
    EXPECT_EQ(p.err, "");

    Process python;
    ASSERT_TRUE(
        python.Start({"/usr/bin/env", "python3", "-c",
                      "import json, sys\n"
                      "card = json.loads(sys.stdin.read())\n"
                      "assert isinstance(card, dict)\n"
                      "print(card['id_number'], card['nation_name'], card['photo_image'])\n"},
                     {}, p.out));
    ASSERT_EQ(python.Wait(), 0) << python.err;
    EXPECT_EQ(python.out, vsim::sample_card().id_number + " 汉 None\n");

    const nlohmann::json j = nlohmann::json::parse(p.out);
    ExpectCard(j, vsim::sample_card());
    EXPECT_EQ(j.at("nation_name"), "汉");
    EXPECT_TRUE(j.at("photo_image").is_null());
}

TEST(VessikReadE2e, EachCardTypesSampleCard)
{
    for (const char *file : {"/sample.card", "/foreign-permanent.card", "/hmt-permit.card"}) {
        const std::string path = kCardsDir + file;
        Process p;
        ASSERT_TRUE(p.Start(UnderLauncher({"--card", path}, {"--json"})));
        ASSERT_EQ(p.Wait(), vread::kExitCardRead) << file << "\n" << p.err;
        ASSERT_EQ(p.Lines(), 1u) << p.out;
        ExpectCard(nlohmann::json::parse(p.out), testsupport::LoadCardFile(path));
    }
}

// Text, photo, templates and appended address, each answer taken as it came
// in pieces over the module's 300 ms, never after the fixed 0.9 s.
TEST(VessikReadE2e, AnswerDrivenReadTakesTheCardInTheModulesTime)
{
    const std::string path = kCardsDir + "/sample-fingerprints.card";
    Process p;
    ASSERT_TRUE(p.Start(
        UnderLauncher({"--card", path, "--card-read-ms", "300", "--fault", "read-in-pieces=3"},
                      {"--json", "--answer-driven", "--fingerprint", "--appended-address"})));
    ASSERT_EQ(p.Wait(), vread::kExitCardRead) << p.err;
    const nlohmann::json j = nlohmann::json::parse(p.out);
    const vsim::CardFields card = testsupport::LoadCardFile(path);
    EXPECT_EQ(j.at("id_number"), card.id_number);
    EXPECT_EQ(j.at("photo"), Base64Of(card.photo));
    EXPECT_EQ(j.at("fingerprint_count"), card.fingerprints.size());
    EXPECT_LT(j.at("times_us").at("read").get<unsigned>(), 900000u);
}

TEST(VessikReadE2e, TextOutputForPeople)
{
    Process p;
    ASSERT_TRUE(p.Start(UnderLauncher({"--card", kCardsDir + "/hmt-permit.card"}, {})));
    ASSERT_EQ(p.Wait(), vread::kExitCardRead) << p.err;
    const vsim::CardFields card = vsim::sample_hmt_permit_card();
    EXPECT_NE(p.out.find("Card:           hmt-permit\n"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("Name:           " + card.name + "\n"), std::string::npos) << p.out;
    EXPECT_NE(p.out.find("Pass number:    " + card.pass_number + "\n"), std::string::npos);
    EXPECT_EQ(p.out.find("Claimed Interface"), std::string::npos);
}

TEST(VessikReadE2e, TimeoutWithNoCardExitsWithTheTimeoutCodeOnTime)
{
    Process p;
    ASSERT_TRUE(p.Start(UnderLauncher({"--no-card"}, {"--json", "--timeout", "1"})));
    EXPECT_EQ(p.Wait(), vread::kExitTimeout) << p.err;
    EXPECT_GE(p.Took(), 1.0);
    EXPECT_LT(p.Took(), 1.8);
    EXPECT_EQ(p.out, "");
    EXPECT_NE(p.err.find("vessik-read: no card before the deadline"), std::string::npos) << p.err;
}

TEST(VessikReadE2e, NoReaderAndALostReaderHaveTheirOwnCodes)
{
    Process none;
    ASSERT_TRUE(none.Start(UnderLauncher({"--no-reader"}, {"--json"})));
    EXPECT_EQ(none.Wait(), vread::kExitNoReader) << none.err;
    EXPECT_LT(none.Took(), 1.0);
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("(run vessik-doctor to see why)\n"), std::string::npos) << none.err;

    Process lost;
    ASSERT_TRUE(lost.Start(UnderLauncher({"--no-card", "--unplug-after", "0.5"}, {"--watch"})));
    EXPECT_EQ(lost.Wait(), vread::kExitReaderLost) << lost.err;
    EXPECT_LT(lost.Took(), 1.5);
}

TEST(VessikReadE2e, WatchReportsACardLeftLyingOnceAndStopsOnSigint)
{
    // The launcher's reader finds a read card again; vessik-read must not
    // print it again while it lies there.
    Process p;
    ASSERT_TRUE(p.Start(UnderLauncher({}, {"--json", "--watch"})));
    p.Pump(10, 1);
    ASSERT_EQ(p.Lines(), 1u) << p.err;
    p.Pump(p.Elapsed() + 2.5); // two more reads of the card left lying
    EXPECT_EQ(p.Lines(), 1u) << p.out;

    const double signalled = NowS();
    p.Signal(SIGINT); // the launcher passes it on
    EXPECT_EQ(p.Wait(), vread::kExitCardRead) << p.err;
    EXPECT_LT(NowS() - signalled, 1.0);
    EXPECT_EQ(nlohmann::json::parse(p.out).at("id_number"), vsim::sample_card().id_number);
}

// The card printed, then its removal as a line of the same JSON stream.
TEST(VessikReadE2e, WatchPrintsARemovalLineWhenTheCardIsLifted)
{
    Process p;
    ASSERT_TRUE(p.Start(UnderLauncher({"--remove-after", "2"}, {"--json", "--watch"})));
    p.Pump(10, 2);
    p.Signal(SIGINT);
    EXPECT_EQ(p.Wait(), vread::kExitCardRead) << p.err;
    std::istringstream lines(p.out);
    std::string card;
    std::string removed;
    ASSERT_TRUE(std::getline(lines, card) && std::getline(lines, removed)) << p.out;
    EXPECT_EQ(nlohmann::json::parse(card).at("id_number"), vsim::sample_card().id_number);
    EXPECT_EQ(nlohmann::json::parse(removed),
              nlohmann::json({{"event", "removed"}, {"reader", "usb:1-1"}}));
}

TEST(VessikReadE2e, OnceStoppedBySigtermBeforeACardIsCancelled)
{
    // The default reader, and a reader handle held from the first read on.
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--json"}, std::vector<std::string>{"--json", "--reader=usb"}}) {
        Process p;
        ASSERT_TRUE(p.Start(UnderLauncher({"--no-card"}, args)));
        p.Pump(1.0); // polling by now
        const double signalled = NowS();
        p.Signal(SIGTERM);
        EXPECT_EQ(p.Wait(), vread::kExitCancelled) << args.back() << "\n" << p.err;
        EXPECT_LT(NowS() - signalled, 1.0);
        EXPECT_EQ(p.out, "");
    }
}

// The module identifier the launcher gives reader K, as hex text.
std::string LauncherModuleHex(int reader)
{
    char id[32];
    std::snprintf(id, sizeof id, "VSIM-%04d-000042", reader);
    std::string hex;
    for (const char *c = id; *c != '\0'; ++c) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(*c));
        hex += two;
    }
    return hex;
}

TEST(VessikReadE2e, ListShowsEveryReaderWithItsModule)
{
    Process text;
    ASSERT_TRUE(text.Start(UnderLauncher({"--readers", "2"}, {"--list"})));
    ASSERT_EQ(text.Wait(), vread::kExitCardRead) << text.err;
    EXPECT_EQ(text.out, "usb:1-1  0400:c35a  module " + LauncherModuleHex(1) + "\n" +
                            "usb:1-2  0400:c35a  module " + LauncherModuleHex(2) + "\n");
    EXPECT_EQ(text.err, "");

    Process json;
    ASSERT_TRUE(json.Start(UnderLauncher({"--readers", "2"}, {"--list", "--json"})));
    ASSERT_EQ(json.Wait(), vread::kExitCardRead) << json.err;
    ASSERT_EQ(json.Lines(), 1u) << json.out;
    const nlohmann::json list = nlohmann::json::parse(json.out);
    ASSERT_TRUE(list.is_array());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].at("location"), "usb:1-2");
    EXPECT_EQ(list[1].at("transport"), "usb");
    EXPECT_EQ(list[1].at("usb_id"), "0400:c35a");
    EXPECT_EQ(list[1].at("module_id"), LauncherModuleHex(2));
    EXPECT_TRUE(list[1].at("error").is_null());

    Process none;
    ASSERT_TRUE(none.Start(UnderLauncher({"--no-reader"}, {"--list", "--json"})));
    EXPECT_EQ(none.Wait(), vread::kExitNoReader);
    EXPECT_EQ(none.out, "[]\n");
}

TEST(VessikReadE2e, ReaderOptionReadsFromThatReader)
{
    const std::string second = kCardsDir + "/foreign-permanent.card";
    Process p;
    ASSERT_TRUE(p.Start(UnderLauncher({"--readers", "2", "--card", "2:" + second},
                                      {"--json", "--reader", "usb:1-2"})));
    ASSERT_EQ(p.Wait(), vread::kExitCardRead) << p.err;
    ExpectCard(nlohmann::json::parse(p.out), testsupport::LoadCardFile(second));
    EXPECT_EQ(p.err, "");

    const struct {
        const char *where;
        int exit_code;
    } refused[] = {{"usb:1-3", vread::kExitNoReader}, {"usb:x", vread::kExitUsage}};
    for (const auto &c : refused) {
        Process r;
        ASSERT_TRUE(r.Start(UnderLauncher({"--readers", "2"}, {"--reader", c.where})));
        EXPECT_EQ(r.Wait(), c.exit_code) << c.where << "\n" << r.err;
        EXPECT_NE(r.err.find(std::string("vessik-read: --reader ") + c.where + ": "),
                  std::string::npos)
            << r.err;
    }
}

class PhotoTest : public testing::Test {
  protected:
    void SetUp() override
    {
        char dir[] = "/tmp/vessik-read-photo.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override
    {
        const std::string command = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    std::vector<std::string> Files()
    {
        std::vector<std::string> names;
        Process ls;
        if (ls.Start({"/bin/ls", "-A", dir_}) && ls.Wait() == 0) {
            std::istringstream lines(ls.out);
            for (std::string line; std::getline(lines, line);)
                names.push_back(line);
        }
        return names;
    }
    std::string dir_;
};

// The card is printed all the same; the exit status says its image could
// not be written, --once at once and --watch when stopped: no decoder but
// the stand-in, or a decoder and no libpng to write its image as PNG.
TEST_F(PhotoTest, WhenNoImageCanBeWrittenTheExitStatusSaysSo)
{
    const std::string no_libpng_dir =
        std::string(NO_LIBPNG).substr(0, std::string(NO_LIBPNG).rfind('/'));
    struct Case {
        std::vector<std::string> env;
        int status;
        const char *said;
    };
    const Case cases[] = {
        {{}, vread::kExitNoPhotoDecoder, "vessik-read: --photo: no photo decoder is installed"},
        {{"LD_PRELOAD=" + kFakeBmpDecoder, "LD_LIBRARY_PATH=" + no_libpng_dir},
         vread::kExitFailed,
         "vessik-read: --photo: no image written: libpng (libpng16.so.16) cannot be loaded"},
    };
    for (const Case &c : cases) {
        for (const char *mode : {"--once", "--watch"}) {
            SCOPED_TRACE(std::string(mode) + " " + c.said);
            Process p;
            ASSERT_TRUE(p.Start(UnderLauncher({}, {"--json", mode, "--photo", dir_}), c.env));
            if (std::string(mode) == "--watch") {
                p.Pump(10, 1);
                p.Signal(SIGINT);
            }
            ASSERT_EQ(p.Wait(), c.status) << p.err;
            ASSERT_EQ(p.Lines(), 1u) << p.out;
            EXPECT_TRUE(nlohmann::json::parse(p.out).at("photo_image").is_null());
            EXPECT_NE(p.err.find(c.said), std::string::npos) << p.err;
            EXPECT_TRUE(Files().empty());
        }
    }
}

// The default format: the library's PNG of the decoder's BMP, the user's alone.
TEST_F(PhotoTest, TheDefaultFormatIsThePortraitAsPng)
{
    Process p;
    ASSERT_TRUE(
        p.Start(UnderLauncher({}, {"--json", "--photo", dir_}), {"LD_PRELOAD=" + kFakeBmpDecoder}));
    ASSERT_EQ(p.Wait(), vread::kExitCardRead) << p.err;
    const std::string name = vsim::sample_card().id_number + ".png";
    EXPECT_EQ(nlohmann::json::parse(p.out).at("photo_image"), dir_ + "/" + name);
    EXPECT_EQ(testsupport::ReadFile(dir_ + "/" + name).substr(0, 8), "\x89PNG\r\n\x1A\n");
    struct stat st {};
    ASSERT_EQ(stat((dir_ + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << std::oct << st.st_mode;
    EXPECT_EQ(Files(), std::vector<std::string>({name}));
}

TEST_F(PhotoTest, ADecoderThatWritesGivesThePathNamedByTheIdNumber)
{
    umask(022); // the usual one, under which a plain write makes a file 0644
    Process p;
    ASSERT_TRUE(p.Start(UnderLauncher({}, {"--json", "--photo", dir_, "--photo-format", "bmp"}),
                        {"LD_PRELOAD=" + kFakeDecoder}));
    ASSERT_EQ(p.Wait(), vread::kExitCardRead) << p.err;
    const std::string path = dir_ + "/" + vsim::sample_card().id_number + ".bmp";
    EXPECT_EQ(nlohmann::json::parse(p.out).at("photo_image"), path);
    const std::vector<uint8_t> photo = vsim::sample_card().photo;
    EXPECT_EQ(testsupport::ReadFile(path), std::string(photo.begin(), photo.end()));
    // The user's alone all the same.
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << std::oct << st.st_mode;
    EXPECT_EQ(Files(), std::vector<std::string>({vsim::sample_card().id_number + ".bmp"}));
}

// A link planted under the photo's name is neither written through nor
// replaced: the name is taken, which is an error.
TEST_F(PhotoTest, ANameAlreadyTakenIsNeitherFollowedNorReplaced)
{
    const std::string target = dir_ + "/target";
    std::ofstream(target) << "keep";
    const std::string name = vsim::sample_card().id_number + ".bmp";
    ASSERT_EQ(symlink(target.c_str(), (dir_ + "/" + name).c_str()), 0);
    Process p;
    ASSERT_TRUE(p.Start(UnderLauncher({}, {"--json", "--photo", dir_, "--photo-format", "bmp"}),
                        {"LD_PRELOAD=" + kFakeDecoder}));
    EXPECT_EQ(p.Wait(), vread::kExitFailed) << p.err;
    EXPECT_TRUE(nlohmann::json::parse(p.out).at("photo_image").is_null());
    EXPECT_NE(p.err.find(name + " exists"), std::string::npos) << p.err;
    EXPECT_EQ(testsupport::ReadFile(target), "keep");
    struct stat st {};
    ASSERT_EQ(lstat((dir_ + "/" + name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Files(), std::vector<std::string>({name, "target"}));
}

TEST_F(PhotoTest, AHostileIdNumberCannotLeaveThePhotoFolder)
{
    Process p;
    ASSERT_TRUE(p.Start(UnderLauncher({"--raw-field", "id_number=../../x/1X"},
                                      {"--json", "--photo", dir_, "--photo-format", "bmp"}),
                        {"LD_PRELOAD=" + kFakeDecoder}));
    ASSERT_EQ(p.Wait(), vread::kExitCardRead) << p.err;
    // The digit field keeps 0-9, X and x ("x1X"); the file name keeps digits
    // and capitals.
    EXPECT_EQ(nlohmann::json::parse(p.out).at("photo_image"), dir_ + "/_1X.bmp");
    EXPECT_EQ(Files(), std::vector<std::string>({"_1X.bmp"}));
}

TEST(VessikReadE2e, UsageErrorsAndHelpNeedNoReader)
{
    Process bad;
    ASSERT_TRUE(bad.Start({kCli, "--bogus"}));
    EXPECT_EQ(bad.Wait(), vread::kExitUsage);
    EXPECT_NE(bad.err.find("unknown argument --bogus"), std::string::npos) << bad.err;
    EXPECT_EQ(bad.out, "");

    Process missing;
    ASSERT_TRUE(missing.Start({kCli, "--photo", "/nonexistent/folder"}));
    EXPECT_EQ(missing.Wait(), vread::kExitUsage);
    EXPECT_NE(missing.err.find("not a folder"), std::string::npos) << missing.err;

    Process help;
    ASSERT_TRUE(help.Start({kCli, "--help"}));
    EXPECT_EQ(help.Wait(), vread::kExitCardRead);
    EXPECT_EQ(help.out, vread::cli_usage());
}

} // namespace
