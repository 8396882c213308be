// SPDX-License-Identifier: LGPL-2.1-or-later
// vessikd's parts that need no reader: settings, the access checks, the
// limits, the event streams' queues and the wiping of freed memory. (The
// JSON form of a card it shares with vessik-read: tests/tools/common.)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "access_policy.h"
#include "card_memory.h"
#include "config.h"
#include "connection_limits.h"
#include "event_hub.h"
#include "local_users.h"
#include "peer_credentials.h"
#include "reader_worker.h"
#include "refusal_log.h"
#include "serial_unit.h"

namespace {

using vessikd::Config;
using vessikd::Settings;

// Settings from file text and command-line words, built into a Config.
bool configure(const std::string &file_text, std::vector<std::string> words, Config &config,
               std::string &error)
{
    Settings file;
    if (!vessikd::parse_config_text(file_text, "test.conf", file, error))
        return false;
    words.insert(words.begin(), "vessikd");
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    std::string path;
    bool path_given = false;
    Settings overrides;
    if (vessikd::parse_command_line(static_cast<int>(argv.size()), argv.data(), path, path_given,
                                    overrides, error) != vessikd::CommandLine::Run)
        return false;
    return vessikd::build_config(file, overrides, config, error);
}

class TempFile {
  public:
    explicit TempFile(const std::string &text)
    {
        char name[] = "/tmp/vessikd-test.XXXXXX";
        const int fd = mkstemp(name);
        path_ = name;
        if (fd >= 0) {
            EXPECT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
            close(fd);
        }
    }
    ~TempFile() { unlink(path_.c_str()); }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

const std::string kToken = "0123456789abcdef-token";

// ---------------------------------------------------------------- settings

TEST(VessikdConfig, CommandLineReplacesWholeSettingsOfTheFile)
{
    Config config;
    std::string error;
    ASSERT_TRUE(configure("# counter PC\nport = 1000\n"
                          "allow-origin = https://a.example, https://b.example\n"
                          "max-request-bytes = 8192\n",
                          {"--port=2000", "--allow-origin", "https://c.example"}, config, error))
        << error;
    EXPECT_EQ(2000, config.port);
    EXPECT_EQ(std::vector<std::string>{"https://c.example"}, config.allowed_origins);
    EXPECT_EQ(8192u, config.max_request_bytes); // untouched by the command line
}

TEST(VessikdConfig, ListSettingsGatherEveryValueOfTheirLayer)
{
    Config config;
    std::string error;
    ASSERT_TRUE(
        configure("allow-origin = https://a.example\nallow-origin = http://b.example:8080\n", {},
                  config, error))
        << error;
    EXPECT_EQ((std::vector<std::string>{"https://a.example", "http://b.example:8080"}),
              config.allowed_origins);
}

TEST(VessikdConfig, ListensOnBothLoopbackAddressesUnlessTold)
{
    Config config;
    std::string error;
    ASSERT_TRUE(configure("", {}, config, error)) << error;
    EXPECT_EQ((std::vector<std::string>{"127.0.0.1", "::1"}), config.listen);
    EXPECT_TRUE(config.listen_is_default);

    ASSERT_TRUE(configure("listen = 0:0:0:0:0:0:0:1\n", {}, config, error)) << error;
    EXPECT_EQ(std::vector<std::string>{"::1"}, config.listen);
    EXPECT_FALSE(config.listen_is_default);

    ASSERT_TRUE(configure("", {"--listen", "localhost"}, config, error)) << error;
    EXPECT_EQ((std::vector<std::string>{"127.0.0.1", "::1"}), config.listen);
}

TEST(VessikdConfig, RefusesEveryListenAddressOffTheLoopback)
{
    for (const char *address :
         {"0.0.0.0", "::", "192.168.1.10", "10.0.0.1", "127.0.0.2", "::ffff:127.0.0.1", "fe80::1",
          "example.com", "127.0.0.1:80", "[::1]"}) {
        SCOPED_TRACE(address);
        Config config;
        std::string error;
        EXPECT_FALSE(configure("", {"--listen", address}, config, error));
        EXPECT_NE(std::string::npos, error.find("loopback")) << error;
        // The file is held to the same rule.
        EXPECT_FALSE(configure(std::string("listen = ") + address + "\n", {}, config, error));
        EXPECT_NE(std::string::npos, error.find("loopback")) << error;
    }
}

TEST(VessikdConfig, FileErrorsNameTheLine)
{
    Config config;
    std::string error;
    EXPECT_FALSE(configure("# comment\n\nport 19904\n", {}, config, error));
    EXPECT_EQ("test.conf:3: expected key = value", error);
    EXPECT_FALSE(configure("port = 1\nlisten-address = ::1\n", {}, config, error));
    EXPECT_EQ("test.conf:2: unknown setting 'listen-address'", error);
}

TEST(VessikdConfig, CommandLineMistakesAreReported)
{
    Config config;
    std::string error;
    EXPECT_FALSE(configure("", {"--prot", "1"}, config, error));
    EXPECT_EQ("unknown option --prot", error);
    EXPECT_FALSE(configure("", {"--port"}, config, error));
    EXPECT_EQ("--port needs a value", error);
    EXPECT_FALSE(configure("", {"19904"}, config, error));
    EXPECT_EQ("unexpected argument '19904'", error);
}

TEST(VessikdConfig, NumbersOutOfRangeAreRefused)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--port", "65536"},
        {"--port", "-1"},
        {"--port", "80x"},
        {"--max-request-bytes", "100"},
        {"--max-request-bytes", "2047"}, // the page's photo request would not fit
        {"--max-event-streams", "0"},
        {"--max-deadline-ms", "1000", "--read-deadline-ms", "1001"},
    };
    for (const auto &words : cases) {
        SCOPED_TRACE(words[0] + " " + words[1]);
        Config config;
        std::string error;
        EXPECT_FALSE(configure("", words, config, error));
        EXPECT_NE(std::string::npos, error.find("whole number")) << error;
    }
}

TEST(VessikdConfig, OriginsAreNormalisedAndWildcardsRefused)
{
    std::string origin;
    EXPECT_TRUE(vessikd::normalise_origin("HTTPS://Counter.Example.ORG:8443", origin));
    EXPECT_EQ("https://counter.example.org:8443", origin);
    for (const char *bad :
         {"*", "null", "https://a.example/", "https://a.example/app", "ftp://a.example", "http://",
          "a.example", "https://u@a.example", "https://a.example?x", "https://a.example#x"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(vessikd::normalise_origin(bad, origin));
        Config config;
        std::string error;
        EXPECT_FALSE(configure("", {"--allow-origin", bad}, config, error));
    }
}

// A page on the loopback is whoever's took its port first: refused, with the
// line that names it, unless it is vessikd's own address and port.
TEST(VessikdConfig, LoopbackOriginsOtherThanTheOwnAreRefusedNamingTheLine)
{
    for (const char *origin :
         {"http://localhost:8080", "http://LOCALHOST:19904", "https://localhost",
          "http://127.0.0.1:8080", "http://127.1:8080", "http://2130706433", "http://[::1]:3000",
          "http://[::ffff:127.0.0.1]", "http://0.0.0.0:8080", "http://app.localhost:8080",
          "http://localhost.:8080", "http://[::1]:19904"}) {
        SCOPED_TRACE(origin);
        Config config;
        std::string error;
        EXPECT_FALSE(
            configure(std::string("# counter\nlisten = 127.0.0.1\nallow-origin = ") + origin + "\n",
                      {}, config, error));
        EXPECT_EQ(0u, error.find("test.conf:3: allow-origin '")) << error;
        EXPECT_NE(std::string::npos, error.find("any local user could serve")) << error;
        EXPECT_FALSE(
            configure("", {"--listen=127.0.0.1", "--events-allow-origin", origin}, config, error));
        EXPECT_EQ(0u, error.find("--events-allow-origin: ")) << error;
    }
    Config config;
    std::string error;
    for (const char *fine : {"http://127.0.0.1:19904", "http://localhost:19904",
                             "https://counter.example.org", "http://localhost.example.org"})
        EXPECT_TRUE(configure(std::string("allow-origin = ") + fine + "\n", {}, config, error))
            << error;
}

TEST(VessikdConfig, TokenComesFromOnePlaceOnly)
{
    const TempFile file(kToken + "  \nsecond line ignored\n");
    Config config;
    std::string error;
    ASSERT_TRUE(configure("token-file = " + file.path() + "\n", {}, config, error)) << error;
    EXPECT_EQ(kToken, config.token);

    // A token on the command line replaces the file's token-file, and back.
    ASSERT_TRUE(
        configure("token-file = " + file.path() + "\n", {"--token", kToken + "x"}, config, error))
        << error;
    EXPECT_EQ(kToken + "x", config.token);
    ASSERT_TRUE(
        configure("token = " + kToken + "x\n", {"--token-file", file.path()}, config, error))
        << error;
    EXPECT_EQ(kToken, config.token);

    EXPECT_FALSE(
        configure("token = " + kToken + "\ntoken-file = " + file.path() + "\n", {}, config, error));
    EXPECT_EQ("token and token-file are both set; keep one", error);
}

TEST(VessikdConfig, WeakOrMissingTokensAreRefused)
{
    Config config;
    std::string error;
    EXPECT_FALSE(configure("", {"--token", "short"}, config, error));
    EXPECT_NE(std::string::npos, error.find("at least 16")) << error;
    const TempFile empty("\n");
    EXPECT_FALSE(configure("", {"--token-file", empty.path()}, config, error));
    EXPECT_NE(std::string::npos, error.find("at least 16")) << error;
    EXPECT_FALSE(configure("", {"--token-file", "/nonexistent/token"}, config, error));
    EXPECT_NE(std::string::npos, error.find("No such file")) << error;
    for (const std::string &weak :
         {std::string(16, 'a'), std::string("abababababababab"), std::string("0123012301230123")}) {
        EXPECT_FALSE(configure("", {"--token", weak}, config, error)) << weak;
        EXPECT_NE(std::string::npos, error.find("too easy to guess")) << error;
    }
}

// A token others can read protects nothing, and settings others can write
// say who may read cards.
TEST(VessikdConfig, FilesOthersCanReadOrWriteAreRefused)
{
    Config config;
    std::string error;
    const TempFile token(kToken + "\n");
    ASSERT_EQ(0, chmod(token.path().c_str(), 0666));
    EXPECT_FALSE(configure("", {"--token-file", token.path()}, config, error));
    EXPECT_NE(std::string::npos, error.find("others can read or write it (mode 0666")) << error;
    ASSERT_EQ(0, chmod(token.path().c_str(), 0640));
    EXPECT_TRUE(configure("", {"--token-file", token.path()}, config, error)) << error;

    Settings file;
    const TempFile with_token("token = " + kToken + "\n");
    ASSERT_EQ(0, chmod(with_token.path().c_str(), 0644));
    EXPECT_FALSE(vessikd::load_config_file(with_token.path(), true, file, error));
    EXPECT_NE(std::string::npos, error.find("holds a token, and others can read it")) << error;
    ASSERT_EQ(0, chmod(with_token.path().c_str(), 0600));
    EXPECT_TRUE(vessikd::load_config_file(with_token.path(), true, file, error)) << error;

    const TempFile writable("port = 19904\n");
    ASSERT_EQ(0, chmod(writable.path().c_str(), 0666));
    EXPECT_FALSE(vessikd::load_config_file(writable.path(), true, file, error));
    EXPECT_NE(std::string::npos, error.find("others can write it")) << error;
}

// The owners a check is told vessikd has, so that a file the test made is
// another user's: as root the file is handed to an id nobody has, since
// root's own files are always trusted.
vessikd::FileOwners owners_that_disown(const std::string &path)
{
    constexpr uid_t kNobodysId = 61000;
    if (geteuid() == 0) {
        EXPECT_EQ(0, chown(path.c_str(), kNobodysId, static_cast<gid_t>(-1)));
        return vessikd::FileOwners{0, getegid()};
    }
    return vessikd::FileOwners{geteuid() + 1, getegid()};
}

// Settings or a token of another user's could name that user to read
// cards: only root's and the service's own are taken, in folders no one
// else may write, and a token is for vessikd's group alone to read.
TEST(VessikdConfig, FilesOfOtherOwnersOrInOpenFoldersAreRefused)
{
    Settings file;
    std::string error;
    const TempFile settings("allow-users = nobody\n");
    const TempFile token(kToken + "\n");
    const vessikd::FileOwners service = vessikd::this_service();
    ASSERT_TRUE(vessikd::load_config_file(settings.path(), true, file, error, service)) << error;
    const vessikd::FileOwners disowning = owners_that_disown(settings.path());
    EXPECT_FALSE(vessikd::load_config_file(settings.path(), true, file, error, disowning));
    EXPECT_NE(std::string::npos, error.find("neither root nor vessikd's own user")) << error;

    Settings words;
    words["token-file"] = {vessikd::SettingValue{token.path(), "--token-file"}};
    Config config;
    ASSERT_EQ(0, chmod(token.path().c_str(), 0640));
    EXPECT_TRUE(vessikd::build_config({}, words, config, error, service)) << error;
    EXPECT_FALSE(vessikd::build_config({}, words, config, error,
                                       vessikd::FileOwners{service.uid, service.gid + 1}));
    EXPECT_NE(std::string::npos, error.find("others can read or write it (mode 0640")) << error;
    EXPECT_FALSE(vessikd::build_config({}, words, config, error, owners_that_disown(token.path())));
    EXPECT_NE(std::string::npos, error.find("neither root nor vessikd's own user")) << error;

    char folder[] = "/tmp/vessikd-folder.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    const std::string inside = std::string(folder) + "/vessikd.conf";
    std::ofstream(inside) << "port = 19904\n";
    ASSERT_EQ(0, chmod(folder, 0777));
    EXPECT_FALSE(vessikd::load_config_file(inside, true, file, error, service));
    EXPECT_NE(std::string::npos, error.find("others can write its folder")) << error;
    ASSERT_EQ(0, chmod(folder, 01777)); // sticky, as /tmp
    EXPECT_TRUE(vessikd::load_config_file(inside, true, file, error, service)) << error;
    unlink(inside.c_str());
    rmdir(folder);
}

TEST(VessikdConfig, AllowUsersNamesUsersAndGroups)
{
    const passwd *nobody = getpwnam("nobody");
    const group *nogroup = getgrnam("nogroup");
    ASSERT_NE(nullptr, nobody);
    ASSERT_NE(nullptr, nogroup);
    const uid_t nobody_uid = nobody->pw_uid;
    const gid_t nogroup_gid = nogroup->gr_gid;
    Config config;
    std::string error;
    ASSERT_TRUE(configure("allow-users = nobody, @nogroup\n", {}, config, error)) << error;
    EXPECT_EQ(std::vector<uid_t>{nobody_uid}, config.allowed_users);
    EXPECT_EQ(std::vector<gid_t>{nogroup_gid}, config.allowed_groups);
    EXPECT_FALSE(configure("", {"--allow-users", "no-such-user-here"}, config, error));
    EXPECT_NE(std::string::npos, error.find("no user 'no-such-user-here'")) << error;
    EXPECT_FALSE(configure("", {"--allow-users", "@no-such-group-here"}, config, error));
    EXPECT_NE(std::string::npos, error.find("no group 'no-such-group-here'")) << error;
}

TEST(VessikdConfig, EventsUsersAndCardEvents)
{
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nullptr, nobody);
    const uid_t nobody_uid = nobody->pw_uid;
    Config config;
    std::string error;
    ASSERT_TRUE(configure("", {}, config, error)) << error;
    EXPECT_TRUE(config.card_events);
    EXPECT_TRUE(config.event_users.empty());
    ASSERT_TRUE(
        configure("events-allow-users = nobody, @nogroup\ncard-events = off\n", {}, config, error))
        << error;
    EXPECT_EQ(std::vector<uid_t>{nobody_uid}, config.event_users);
    EXPECT_EQ(1u, config.event_groups.size());
    EXPECT_TRUE(config.allowed_users.empty());
    EXPECT_FALSE(config.card_events);
    EXPECT_FALSE(configure("card-events = maybe\n", {}, config, error));
    EXPECT_EQ("test.conf:1: card-events must be on or off, not 'maybe'", error);
    EXPECT_FALSE(configure("", {"--events-allow-users", "no-such-user-here"}, config, error));
    EXPECT_EQ("events-allow-users: there is no user 'no-such-user-here' (a group is written @name)",
              error);
}

TEST(VessikdConfig, AnswerDrivenIsOffUnlessSetTrue)
{
    Config config;
    std::string error;
    ASSERT_TRUE(configure("", {}, config, error)) << error;
    EXPECT_FALSE(config.answer_driven);
    ASSERT_TRUE(configure("answer-driven = true\n", {}, config, error)) << error;
    EXPECT_TRUE(config.answer_driven);
    EXPECT_FALSE(configure("answer-driven = yes\n", {}, config, error));
    EXPECT_EQ("test.conf:1: answer-driven must be true or false, not 'yes'", error);
}

TEST(VessikdConfig, EventOriginsAreCheckedLikeAllowedOrigins)
{
    Config config;
    std::string error;
    ASSERT_TRUE(configure("events-allow-origin = HTTPS://Kiosk.Example\n", {}, config, error))
        << error;
    EXPECT_EQ(std::vector<std::string>{"https://kiosk.example"}, config.event_origins);
    EXPECT_TRUE(config.allowed_origins.empty());
    EXPECT_FALSE(configure("", {"--events-allow-origin", "*"}, config, error));
}

TEST(VessikdConfig, MissingDefaultFileIsFineAndMissingNamedFileIsNot)
{
    Settings settings;
    std::string error;
    EXPECT_TRUE(vessikd::load_config_file("/nonexistent/vessikd.conf", false, settings, error));
    EXPECT_FALSE(vessikd::load_config_file("/nonexistent/vessikd.conf", true, settings, error));
    EXPECT_NE(std::string::npos, error.find("No such file")) << error;
}

// ------------------------------------------------------------- access checks

vessikd::AccessPolicy policy_on(int port)
{
    vessikd::AccessPolicy policy;
    policy.allowed_origins = {"https://counter.example.org"};
    const std::string p = std::to_string(port);
    vessikd::add_own_names(policy, {"127.0.0.1:" + p, "[::1]:" + p, "localhost:" + p});
    return policy;
}

TEST(VessikdAccess, HostMustNameThisServiceOnItsPort)
{
    const vessikd::AccessPolicy policy = policy_on(19904);
    for (const char *host :
         {"127.0.0.1:19904", "localhost:19904", "LOCALHOST:19904", "[::1]:19904"})
        EXPECT_TRUE(vessikd::host_allowed(policy, true, host)) << host;
    // A rebinding page's name, or the right name on another port, is refused.
    for (const char *host : {"evil.example:19904", "127.0.0.1.nip.io:19904", "127.0.0.1",
                             "127.0.0.1:80", "localhost:199040", ""})
        EXPECT_FALSE(vessikd::host_allowed(policy, true, host)) << host;
    EXPECT_TRUE(vessikd::host_allowed(policy, false, ""));
}

TEST(VessikdAccess, OriginsMatchTheListExactly)
{
    using vessikd::OriginVerdict;
    const vessikd::AccessPolicy policy = policy_on(19904);
    EXPECT_EQ(OriginVerdict::Allowed,
              vessikd::check_origin(policy, true, "https://counter.example.org"));
    EXPECT_EQ(OriginVerdict::Allowed,
              vessikd::check_origin(policy, true, "http://localhost:19904"));
    EXPECT_EQ(OriginVerdict::NoOrigin, vessikd::check_origin(policy, false, ""));
    for (const char *origin : {"https://counter.example.org.evil.example",
                               "http://counter.example.org", "https://counter.example.org:444",
                               "https://evil.example", "null", "", "http://localhost:19905"})
        EXPECT_EQ(OriginVerdict::Refused, vessikd::check_origin(policy, true, origin)) << origin;
}

// An address another program may hold is not this service's own: its page
// there would otherwise be trusted.
TEST(VessikdAccess, OwnNamesAreTheAddressesHeld)
{
    using vessikd::OriginVerdict;
    vessikd::AccessPolicy policy;
    vessikd::add_own_names(policy, {"127.0.0.1:19904"});
    EXPECT_EQ(OriginVerdict::Allowed,
              vessikd::check_origin(policy, true, "http://127.0.0.1:19904"));
    EXPECT_EQ(OriginVerdict::Refused, vessikd::check_origin(policy, true, "http://[::1]:19904"));
    EXPECT_EQ(OriginVerdict::Refused,
              vessikd::check_origin(policy, true, "http://localhost:19904"));
    EXPECT_FALSE(vessikd::host_allowed(policy, true, "localhost:19904"));
}

// Listed or not, a loopback page other than the service's own is refused
// at each request: the port may have changed hands since the start.
TEST(VessikdAccess, LoopbackOriginsAreRefusedEvenWhenListed)
{
    using vessikd::OriginVerdict;
    vessikd::AccessPolicy policy = policy_on(19904);
    policy.allowed_origins.push_back("http://localhost:8080");
    policy.event_origins.push_back("http://127.0.0.1:3000");
    EXPECT_EQ(OriginVerdict::Refused, vessikd::check_origin(policy, true, "http://localhost:8080"));
    EXPECT_EQ(OriginVerdict::Refused, vessikd::check_origin(policy, true, "http://127.0.0.1:3000"));
    EXPECT_EQ(OriginVerdict::Allowed,
              vessikd::check_origin(policy, true, "http://localhost:19904"));
    EXPECT_FALSE(vessikd::loopback_origin("https://counter.example.org"));
}

TEST(VessikdAccess, CardsGoToTheKitsOwnPageAndToEventOrigins)
{
    using vessikd::Requester;
    vessikd::AccessPolicy policy = policy_on(19904);
    policy.event_origins = {"https://kiosk.example"};
    const auto from = [&](bool has_origin, const std::string &origin, const std::string &site) {
        return vessikd::requester_of(policy, has_origin, origin, site);
    };
    EXPECT_EQ(Requester::OwnPage, from(true, "http://127.0.0.1:19904", "same-origin"));
    EXPECT_EQ(Requester::OwnPage, from(false, "", "same-origin")); // a browser's same-origin GET
    EXPECT_EQ(Requester::LocalProgram, from(false, "", ""));
    EXPECT_EQ(Requester::LocalProgram, from(false, "", "cross-site"));
    EXPECT_EQ(Requester::OtherOrigin, from(true, "https://counter.example.org", "cross-site"));
    EXPECT_EQ(Requester::OtherOrigin, from(true, "https://kiosk.example", "cross-site"));

    // For a user entitled to cards, an Origin narrows them to the kit's own
    // page, local programs and the event origins.
    EXPECT_TRUE(vessikd::receives_cards(policy, true, Requester::OwnPage, ""));
    EXPECT_TRUE(vessikd::receives_cards(policy, true, Requester::LocalProgram, ""));
    EXPECT_FALSE(vessikd::receives_cards(policy, true, Requester::OtherOrigin,
                                         "https://counter.example.org"));
    EXPECT_TRUE(
        vessikd::receives_cards(policy, true, Requester::OtherOrigin, "https://kiosk.example"));
    EXPECT_EQ(vessikd::OriginVerdict::Allowed,
              vessikd::check_origin(policy, true, "https://kiosk.example"));
}

// Any local program can say Sec-Fetch-Site: same-origin or send the kit's
// own Origin: the headers never give cards to a user not entitled to them.
TEST(VessikdAccess, HeadersNeverGiveCardsToAUserNotEntitled)
{
    using vessikd::Requester;
    vessikd::AccessPolicy policy = policy_on(19904);
    policy.event_origins = {"https://kiosk.example"};
    for (const Requester claimed :
         {vessikd::requester_of(policy, false, "", "same-origin"),
          vessikd::requester_of(policy, true, "http://127.0.0.1:19904", "same-origin"),
          Requester::LocalProgram})
        EXPECT_FALSE(vessikd::receives_cards(policy, false, claimed, ""));
    EXPECT_FALSE(
        vessikd::receives_cards(policy, false, Requester::OtherOrigin, "https://kiosk.example"));
}

// The user at the seat and the users of events-allow-users receive cards
// (and may connect); the users admitted only to connect, root among them,
// do not. No account is needed: ids nobody has stand for the users.
TEST(VessikdAccess, CardsGoToTheSeatsUserAndTheEventsUsers)
{
    constexpr uid_t kAtSeat = 61001;
    constexpr uid_t kEventsUser = 61002;
    constexpr uid_t kAdmittedOnly = 61003;
    constexpr uid_t kStranger = 61004;
    const vessikd::LocalUsers users(vessikd::UserList{{kAdmittedOnly}, {}},
                                    vessikd::UserList{{kEventsUser}, {}},
                                    [](uid_t uid) { return uid == kAtSeat; });
    for (const uid_t uid : {kAtSeat, kEventsUser}) {
        EXPECT_TRUE(users.receives_cards(uid)) << uid;
        EXPECT_TRUE(users.admitted(uid)) << uid;
    }
    for (const uid_t uid : {kAdmittedOnly, uid_t{0}})
        EXPECT_FALSE(users.receives_cards(uid)) << uid;
    EXPECT_TRUE(users.admitted(kAdmittedOnly));
    EXPECT_FALSE(users.admitted(kStranger));
    EXPECT_FALSE(users.receives_cards(kStranger));
}

TEST(VessikdAccess, TokenIsComparedWhole)
{
    vessikd::AccessPolicy policy;
    EXPECT_TRUE(vessikd::token_accepted(policy, "", "")); // none set
    policy.token = kToken;
    EXPECT_TRUE(vessikd::token_accepted(policy, "Bearer " + kToken, ""));
    EXPECT_TRUE(vessikd::token_accepted(policy, "bearer  " + kToken + " ", ""));
    EXPECT_TRUE(vessikd::token_accepted(policy, "", kToken));
    const std::vector<std::string> wrongs = {"",
                                             "Bearer",
                                             "Bearer " + kToken.substr(1),
                                             "Bearer " + kToken + "0",
                                             "Bearer " + kToken.substr(0, kToken.size() - 1),
                                             "Basic " + kToken,
                                             kToken};
    for (const std::string &wrong : wrongs)
        EXPECT_FALSE(vessikd::token_accepted(policy, wrong, "")) << wrong;
    // A header that is there decides, whatever the query says.
    EXPECT_FALSE(vessikd::token_accepted(policy, "Bearer nope", kToken));
    EXPECT_FALSE(vessikd::token_accepted(policy, "", kToken + "x"));
}

TEST(VessikdAccess, PreflightMayAskForTheTwoHeadersTheApiReads)
{
    EXPECT_TRUE(vessikd::preflight_headers_allowed(""));
    EXPECT_TRUE(vessikd::preflight_headers_allowed("content-type"));
    EXPECT_TRUE(vessikd::preflight_headers_allowed("Authorization, Content-Type"));
    EXPECT_TRUE(vessikd::preflight_headers_allowed("authorization,content-type"));
    EXPECT_FALSE(vessikd::preflight_headers_allowed("x-requested-with"));
    EXPECT_FALSE(vessikd::preflight_headers_allowed("authorization, cookie"));
}

// ------------------------------------------------------------------ limits

// Each cause from each peer is told once; past the bound, one line says
// the rest go untold.
TEST(RefusalLog, TellsEachCauseAndPeerOnceUpToItsBound)
{
    std::vector<std::string> lines;
    vessikd::RefusalLog log([&lines](const std::string &line) { lines.push_back(line); }, 2);
    const struct {
        const char *refusal;
        size_t lines;
    } kSteps[] = {
        {"refused: bad token from uid 1001", 1}, {"refused: bad token from uid 1001", 1},
        {"refused: bad token from uid 1002", 2}, {"refused: no token from uid 1001", 3},
        {"refused: no token from uid 1003", 3},  {"refused: bad token from uid 1002", 3},
    };
    for (const auto &step : kSteps) {
        log.refused(step.refusal);
        EXPECT_EQ(step.lines, lines.size()) << step.refusal;
    }
    EXPECT_EQ("2 refusals told; further refusals are not logged individually", lines.back());
    EXPECT_EQ("https://x.example/?? \"a\"", vessikd::loggable("https://x.example/\r\n \"a\""));
}

TEST(ConnectionLimits, OneUserHoldsHalfAndOthersLeaveTheAdminsTheirShare)
{
    using vessikd::Admission;
    vessikd::ConnectionLimits limits(8); // 4 for one user, 6 for all but the admins
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Admission::Serve, limits.take(1000, true, false));
    EXPECT_EQ(Admission::TooMany, limits.take(1000, true, false));
    EXPECT_EQ(Admission::Serve, limits.take(1001, true, false));
    EXPECT_EQ(Admission::Serve, limits.take(1001, true, false));
    EXPECT_EQ(Admission::TooMany, limits.take(1002, true, false));
    EXPECT_EQ(Admission::Serve, limits.take(0, true, true));
    EXPECT_EQ(Admission::Serve, limits.take(0, true, true));
    limits.give_back(1000, Admission::Serve, false);
    EXPECT_EQ(Admission::Serve, limits.take(1002, true, false));
}

// Users not admitted are refused from a small budget of their own: however
// many connections they hold, the admitted users keep every worker.
TEST(ConnectionLimits, RefusedUsersTakeNothingFromTheAdmitted)
{
    using vessikd::Admission;
    vessikd::ConnectionLimits limits(8);
    const uid_t strangers[] = {2000, 2001};
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Admission::Forbidden, limits.take(strangers[i], false, false));
    EXPECT_EQ(Admission::Dropped, limits.take(2000, false, false));
    EXPECT_EQ(Admission::Dropped, limits.take(2001, false, false));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Admission::Serve, limits.take(1000, true, false)) << i;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Admission::Serve, limits.take(1001, true, false)) << i;
    limits.give_back(2000, Admission::Forbidden, false);
    limits.give_back(2000, Admission::Dropped, false); // took nothing, gives back nothing
    EXPECT_EQ(Admission::Forbidden, limits.take(2000, false, false));
    EXPECT_EQ(Admission::Dropped, limits.take(2001, false, false));
}

// -------------------------------------------------------------- event streams

// A stream's owner: a user, an origin (empty: a local program), and whether
// it is sent card data.
vessikd::StreamOwner owner(uid_t uid, const std::string &origin = "", bool cards = false)
{
    vessikd::StreamOwner o;
    o.uid = uid;
    o.origin = origin;
    o.receives_cards = cards;
    return o;
}

// The events waiting on a stream, by name and data; none when it is closed.
using NamedEvents = std::vector<std::pair<std::string, std::string>>;
NamedEvents Waiting(vessikd::EventHub &hub, int stream)
{
    std::vector<vessikd::Event> events;
    EXPECT_TRUE(hub.next(stream, events, std::chrono::milliseconds(0)));
    NamedEvents named;
    for (const vessikd::Event &e : events)
        named.emplace_back(e.name, e.data);
    return named;
}

TEST(EventHub, EventsReachTheStreamsOpenWhenPublished)
{
    vessikd::EventHub hub(4);
    const int early = hub.subscribe(owner(1, "https://a.example"));
    hub.publish("card", "{\"n\":1}");
    const int late = hub.subscribe(owner(2, "https://b.example"));
    hub.publish("reader", "{\"present\":false}");

    const NamedEvents reader_news = {{"reader", "{\"present\":false}"}};
    EXPECT_EQ(Waiting(hub, early), NamedEvents({{"card", "{\"n\":1}"}, reader_news[0]}));
    EXPECT_EQ(Waiting(hub, late), reader_news);   // the card came before it opened
    EXPECT_EQ(Waiting(hub, late), NamedEvents()); // taken once
}

TEST(EventHub, StreamsAreCountedAndLimited)
{
    vessikd::EventHub hub(2);
    int changes = 0;
    hub.set_count_listener([&] { ++changes; });
    const int a = hub.subscribe(owner(1, "https://a.example"));
    const int b = hub.subscribe(owner(2, "https://b.example"));
    EXPECT_GE(a, 0);
    EXPECT_GE(b, 0);
    EXPECT_EQ(-1, hub.subscribe(owner(3, "https://c.example")));
    EXPECT_EQ(2u, hub.streams());
    hub.unsubscribe(a);
    hub.unsubscribe(a); // twice: no change the second time
    EXPECT_EQ(1u, hub.streams());
    EXPECT_EQ(3, changes);
    EXPECT_GE(hub.subscribe(owner(3, "https://c.example")), 0);
}

// One user may hold half the streams and one origin a quarter, so that
// neither a local program nor another origin's page crowds out the rest.
TEST(EventHub, StreamsAreLimitedPerUserAndPerOrigin)
{
    vessikd::EventHub hub(8);
    for (int i = 0; i < 2; ++i)
        EXPECT_GE(hub.subscribe(owner(1000)), 0);
    EXPECT_EQ(-1, hub.subscribe(owner(1000))) << "a third stream without an Origin";
    EXPECT_EQ(-1, hub.subscribe(owner(1001))) << "another user's, without an Origin too";
    EXPECT_GE(hub.subscribe(owner(1000, "own page")), 0);
    EXPECT_GE(hub.subscribe(owner(1000, "https://a.example")), 0);
    EXPECT_EQ(-1, hub.subscribe(owner(1000, "https://b.example"))) << "a fifth of one user's";
    EXPECT_GE(hub.subscribe(owner(0, "own page")), 0);
    EXPECT_EQ(5u, hub.streams());
}

// A card goes with its data only to the streams that receive cards; the
// others learn that a card is there.
TEST(EventHub, CardDataGoesOnlyToStreamsThatReceiveCards)
{
    vessikd::EventHub hub(8);
    const int page = hub.subscribe(owner(1000, "own page", true));
    const int program = hub.subscribe(owner(1000));
    hub.publish_card("{\"name\":\"x\"}", "{\"reader\":\"usb:1-1\"}");
    EXPECT_EQ(Waiting(hub, page), NamedEvents({{"card", "{\"name\":\"x\"}"}}));
    EXPECT_EQ(Waiting(hub, program), NamedEvents({{"card-present", "{\"reader\":\"usb:1-1\"}"}}));
}

TEST(EventHub, AStreamThatFallsBehindKeepsTheNewest)
{
    vessikd::EventHub hub(1);
    const int id = hub.subscribe(owner(1));
    for (int i = 0; i < 100; ++i)
        hub.publish("n", std::to_string(i));
    std::vector<vessikd::Event> events;
    ASSERT_TRUE(hub.next(id, events, std::chrono::milliseconds(0)));
    ASSERT_FALSE(events.empty());
    EXPECT_LT(events.size(), 100u);
    EXPECT_EQ("99", events.back().data);
    EXPECT_EQ(std::to_string(100 - events.size()), events.front().data);
}

TEST(EventHub, CloseWakesAWaitingStreamAndRefusesNewOnes)
{
    vessikd::EventHub hub(2);
    const int id = hub.subscribe(owner(1));
    std::atomic<bool> returned{false};
    bool result = true;
    std::thread waiter([&] {
        std::vector<vessikd::Event> events;
        result = hub.next(id, events, std::chrono::seconds(20));
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned);
    const auto closed_at = std::chrono::steady_clock::now();
    hub.close();
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - closed_at, std::chrono::seconds(1));
    EXPECT_FALSE(result);
    EXPECT_EQ(-1, hub.subscribe(owner(2)));
}

// -------------------------------------------------------- the unit's drop-in

// The unit can open the serial readers of the settings, and only where some
// are set: the generator's drop-in names each device, the class of a
// bridge's nodes and the group that owns serial lines.
TEST(SerialUnit, TheDropInNamesWhatASerialReaderNeeds)
{
    const TempFile settings("serial-readers = /dev/ttyS1@57600:/dev/ttyUSB0\n");
    std::string drop_in;
    std::string error;
    ASSERT_TRUE(vessikd::serial_drop_in_for(settings.path(), drop_in, error)) << error;
    for (const char *line :
         {"\n[Service]\n", "\nSupplementaryGroups=dialout\n", "\nDeviceAllow=/dev/ttyS1 rw\n",
          "\nDeviceAllow=/dev/ttyUSB0 rw\n", "\nDeviceAllow=char-ttyUSB rw\n"})
        EXPECT_NE(std::string::npos, drop_in.find(line)) << line << drop_in;
    EXPECT_EQ(std::string::npos, drop_in.find("ttyACM")) << drop_in;

    const TempFile none("port = 19904\n");
    ASSERT_TRUE(vessikd::serial_drop_in_for(none.path(), drop_in, error)) << error;
    EXPECT_EQ("", drop_in);
    const TempFile bad("\nserial-readers = ttyS1\n");
    EXPECT_FALSE(vessikd::serial_drop_in_for(bad.path(), drop_in, error));
    EXPECT_EQ(0u, error.find(bad.path() + ":2: serial-readers: 'ttyS1'")) << error;
}

// ------------------------------------------------------------- peer's user

// A loopback connection: the listening socket, the client's end and the
// service's end (each -1 if it could not be made).
struct LoopbackPair {
    int listener = -1;
    int client = -1;
    int served = -1;
    LoopbackPair()
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
            listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return;
        client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0)
            served = accept(listener, nullptr, nullptr);
    }
    ~LoopbackPair()
    {
        for (const int fd : {listener, client, served}) {
            if (fd >= 0)
                close(fd);
        }
    }
};

// The user behind a live connection is the client's; a client that has
// closed leaves a time-wait entry the kernel answers for with uid 0, which
// must not pass for root.
TEST(PeerCredentials, OnlyALiveClientNamesItsUser)
{
    LoopbackPair pair;
    ASSERT_GE(pair.served, 0) << std::strerror(errno);
    uid_t uid = 12345;
    ASSERT_TRUE(vessikd::peer_uid(pair.served, uid));
    EXPECT_EQ(geteuid(), uid);

    close(pair.client);
    pair.client = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uid = 12345;
    EXPECT_FALSE(vessikd::peer_uid(pair.served, uid)) << "read as uid " << uid;
}

// -------------------------------------------------------------- the watch

// A first look that found its card at once took the card's own exchanges
// and a status question; one that waited took a missed find and a pause.
TEST(ReaderWorker, AFirstLookTellsACardLyingThereFromOneLaidDuringIt)
{
    struct Case {
        unsigned find_us, select_us, read_us;
        uint64_t took_us;
        bool at_once;
    };
    const Case cases[] = {
        {2000, 1500, 900000, 2000 + 1500 + 900000 + 2500, true},    // a status question more
        {120000, 120000, 1200000, 1440000 + 120000, true},          // a slow module's answers
        {2000, 1500, 900000, 903500 + 2500 + 2000 + 100000, false}, // one missed find and pause
        {120000, 120000, 1200000, 1440000 + 120000 + 120000 + 100000, false},
        {2000, 1500, 900000, 903500 + 20000000, false}, // laid seconds later
    };
    for (const Case &c : cases) {
        vessik_card card{};
        card.find_us = c.find_us;
        card.select_us = c.select_us;
        card.read_us = c.read_us;
        EXPECT_EQ(c.at_once, vessikd::ReaderWorker::found_at_once(c.took_us, card)) << c.took_us;
    }
}

// ------------------------------------------------------------ card memory

// Memory this process has locked, as the kernel counts it (kB).
long locked_kb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmLck:") == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

// A card buffer is kept out of swap: its pages count as locked.
TEST(CardMemory, ACardBufferIsLockedIntoMemory)
{
    constexpr size_t kPage = 4096;
    constexpr size_t kBytes = 4 * kPage;
    void *buffer = std::aligned_alloc(kPage, kBytes);
    ASSERT_NE(nullptr, buffer);
    std::memset(buffer, 0, kBytes);
    const long before = locked_kb();
    vessikd::keep_out_of_swap(buffer, kBytes);
    EXPECT_EQ(before + static_cast<long>(kBytes / 1024), locked_kb());
    munlock(buffer, kBytes);
    std::free(buffer);
}

// ------------------------------------------------------------ freed memory

#ifdef VESSIKD_WIPES_FREED_MEMORY
// The allocator hands a block of the same size back at once (its cache for
// each thread is last in, first out): past its own bookkeeping at the start,
// nothing of what the block held may be left in it.
TEST(WipeOnFree, AFreedBlockHoldsNothingOfItsText)
{
    constexpr size_t kBytes = 200;
    constexpr size_t kAllocatorBookkeeping = 16;
    char *block = new char[kBytes];
    std::memset(block, 'S', kBytes);
    const auto freed_at = reinterpret_cast<uintptr_t>(block);
    delete[] block;
    auto *again = static_cast<unsigned char *>(std::malloc(kBytes));
    ASSERT_EQ(freed_at, reinterpret_cast<uintptr_t>(again)) << "not handed back: nothing to see";
    EXPECT_EQ(0, std::count(again + kAllocatorBookkeeping, again + kBytes, 'S'));
    std::free(again);
}
#endif

} // namespace
