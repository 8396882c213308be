// vessikd's parts that need no reader: settings, the access checks, the JSON
// form of a card and the event streams' queues.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "access_policy.h"
#include "card_json.h"
#include "config.h"
#include "event_hub.h"

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
    vessikd::add_own_names(policy, port);
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

// ------------------------------------------------------------------- card JSON

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
    EXPECT_EQ(20u, j.size()); // nothing else

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
    EXPECT_EQ(20u, j.size());
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
}

// -------------------------------------------------------------- event streams

TEST(EventHub, EventsReachTheStreamsOpenWhenPublished)
{
    vessikd::EventHub hub(4);
    const int early = hub.subscribe();
    hub.publish("card", "{\"n\":1}");
    const int late = hub.subscribe();
    hub.publish("reader", "{\"present\":false}");

    std::vector<vessikd::Event> events;
    ASSERT_TRUE(hub.next(early, events, std::chrono::milliseconds(0)));
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("card", events[0].name);
    EXPECT_EQ("{\"n\":1}", events[0].data);
    EXPECT_EQ("reader", events[1].name);
    ASSERT_TRUE(hub.next(late, events, std::chrono::milliseconds(0)));
    ASSERT_EQ(1u, events.size()); // the card came before it opened
    EXPECT_EQ("reader", events[0].name);
    ASSERT_TRUE(hub.next(late, events, std::chrono::milliseconds(0)));
    EXPECT_TRUE(events.empty()); // taken once
}

TEST(EventHub, StreamsAreCountedAndLimited)
{
    vessikd::EventHub hub(2);
    int changes = 0;
    hub.set_count_listener([&] { ++changes; });
    const int a = hub.subscribe();
    const int b = hub.subscribe();
    EXPECT_GE(a, 0);
    EXPECT_GE(b, 0);
    EXPECT_EQ(-1, hub.subscribe());
    EXPECT_EQ(2u, hub.streams());
    hub.unsubscribe(a);
    hub.unsubscribe(a); // twice: no change the second time
    EXPECT_EQ(1u, hub.streams());
    EXPECT_EQ(3, changes);
    EXPECT_GE(hub.subscribe(), 0);
}

TEST(EventHub, AStreamThatFallsBehindKeepsTheNewest)
{
    vessikd::EventHub hub(1);
    const int id = hub.subscribe();
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
    const int id = hub.subscribe();
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
    EXPECT_EQ(-1, hub.subscribe());
}

} // namespace
