// SPDX-License-Identifier: LGPL-2.1-or-later
// vessikd over HTTP, as a program under vessik-virtual-reader: the API, the
// access checks, the event stream, shutdown, and a soak.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "loopback_connection.h"
#include "service_process.h"
#include "vessik_read.h"

namespace {

using nlohmann::json;
using service_test::body_of;
using service_test::connect_loopback;
using service_test::events_for_me;
using service_test::run_options;
using service_test::RunOptions;
using service_test::ServiceProcess;
using testsupport::NowS;

const std::string kToken = "service-test-token-0123456789";
const std::string kAllowedOrigin = "https://counter.example.org";
const std::string kEvilOrigin = "https://evil.example";
constexpr int kDefaultMaxRequestBytes = 4096;

// The sample card's fields, as its file states them.
std::map<std::string, std::string> sample_card()
{
    std::map<std::string, std::string> fields;
    std::ifstream in(std::string(VESSIK_SIM_CARDS_DIR) + "/sample.card");
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find(" = ");
        if (!line.empty() && line[0] != '#' && eq != std::string::npos)
            fields[line.substr(0, eq)] = line.substr(eq + 3);
    }
    return fields;
}

std::string post_json(const json &body)
{
    return body.dump();
}

// Starts vessikd (launcher options, vessikd options[, environment]) or
// fails the test.
#define START(service, ...) ASSERT_TRUE(service_test::start(service, __VA_ARGS__))

// An answer taken on another thread.
struct Answer {
    bool arrived = false;
    int status = 0;
    std::string body;
    void take(const httplib::Result &r)
    {
        arrived = static_cast<bool>(r);
        if (r) {
            status = r->status;
            body = r->body;
        }
    }
};

// An event stream read on a thread of its own.
class EventStream {
  public:
    EventStream(const ServiceProcess &service, const std::string &path = "/v1/events",
                const httplib::Headers &headers = {})
        : client_(service.client(10))
    {
        thread_ = std::thread([this, path, headers] {
            auto r = client_.Get(
                path.c_str(), headers,
                [this](const httplib::Response &res) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    status_ = res.status;
                    return true;
                },
                [this](const char *data, size_t size) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    text_.append(data, size);
                    return !stop_;
                });
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
            if (r && status_ == 0)
                status_ = r->status;
        });
    }
    ~EventStream() { close(); }

    // Waits until the stream holds `what`; false when the time runs out.
    bool wait_for(const std::string &what, double limit_s)
    {
        const double end = NowS() + limit_s;
        while (NowS() < end) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (text_.find(what) != std::string::npos)
                    return true;
                if (ended_)
                    return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Stops reading; the connection closes at the next data to arrive.
    void close()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        if (thread_.joinable())
            thread_.join();
    }

    int status()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }
    std::string text()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    size_t count(const std::string &what)
    {
        const std::string all = text();
        size_t n = 0;
        for (size_t at = all.find(what); at != std::string::npos; at = all.find(what, at + 1))
            ++n;
        return n;
    }

  private:
    httplib::Client client_;
    std::thread thread_;
    std::mutex mutex_;
    std::string text_;
    int status_ = 0;
    bool stop_ = false;
    bool ended_ = false;
};

// The headers of the kit's own page, as a browser sends them for its
// same-origin event stream.
httplib::Headers own_page()
{
    return {{"Sec-Fetch-Site", "same-origin"}};
}

std::string own_origin(const ServiceProcess &service)
{
    return "http://127.0.0.1:" + std::to_string(service.port());
}

// Polls /v1/status until `field` has `value`; false when the time runs out.
bool status_becomes(const ServiceProcess &service, const std::string &field, const json &value,
                    double limit_s)
{
    const double end = NowS() + limit_s;
    auto client = service.client();
    while (NowS() < end) {
        const json status = body_of(client.Get("/v1/status"));
        if (status.is_object() && status.value(field, json()) == value)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// Sends `head`, then `filler` over and over up to `filler_bytes` (`pause_ms`
// apart), then `tail`, on a connection of its own, reading the answer all
// the while; returns what the service answered before it closed the
// connection. The sending stops early when the service stops reading.
std::string raw_exchange(int port, const std::string &head, const std::string &filler,
                         size_t filler_bytes, const std::string &tail, int pause_ms = 0)
{
    constexpr int kPollLimitMs = 5000;
    const int fd = connect_loopback(port);
    if (fd < 0)
        return std::string();
    std::string pending = head;
    size_t filled = 0;
    bool tail_queued = false;
    std::string answer;
    double next_filler = 0;
    for (;;) {
        const bool filler_due = NowS() >= next_filler;
        if (pending.empty() && filled < filler_bytes && filler_due) {
            pending = filler;
            filled += filler.size();
            next_filler = NowS() + pause_ms / 1000.0;
        } else if (pending.empty() && filled >= filler_bytes && !tail_queued) {
            pending = tail;
            tail_queued = true;
        }
        const bool waiting = pending.empty() && filled < filler_bytes;
        pollfd p{fd, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0};
        const int rc = poll(&p, 1, waiting ? pause_ms : kPollLimitMs);
        if (rc == 0 && waiting)
            continue;
        if (rc <= 0)
            break;
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char buffer[4096];
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0)
                break;
            answer.append(buffer, static_cast<size_t>(n));
            continue;
        }
        const ssize_t n = send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            pending.clear(); // the service has closed its side; read what it said
        else
            pending.erase(0, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}

int answer_status(const std::string &answer)
{
    const std::string prefix = "HTTP/1.1 ";
    return answer.compare(0, prefix.size(), prefix) == 0 ? std::atoi(answer.c_str() + prefix.size())
                                                         : 0;
}

json answer_body(const std::string &answer)
{
    const size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? json() : json::parse(answer.substr(at + 4), nullptr, false);
}

// ------------------------------------------------------------------ the API

TEST(ServiceApi, StatusTellsReaderVersionAndDecoder)
{
    ServiceProcess service;
    START(service, {}, {});
    auto client = service.client();
    const auto r = client.Get("/v1/status");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ("application/json", r->get_header_value("Content-Type"));
    const json status = body_of(r);
    EXPECT_EQ(true, status["reader_present"]);
    EXPECT_EQ(VESSIK_VERSION, status["version"]);
    EXPECT_EQ("stand-in", status["photo_decoder"]);
    EXPECT_EQ(false, status["read_in_progress"]);
    EXPECT_EQ(0, status["event_streams"]);
}

TEST(ServiceApi, ReadAnswersTheCardOnTheReader)
{
    ServiceProcess service;
    START(service, {}, {});
    auto client = service.client();
    const double started = NowS();
    const auto r = client.Post("/v1/read", post_json({{"deadline_ms", 5000}}), "application/json");
    const double took = NowS() - started;
    ASSERT_TRUE(r);
    ASSERT_EQ(200, r->status) << r->body;
    std::printf("figure: end-to-end read through vessikd: %.0f ms\n", took * 1000);

    const json card = body_of(r);
    const auto sample = sample_card();
    EXPECT_EQ("resident", card["type"]);
    EXPECT_EQ(sample.at("name"), card["name"]);
    EXPECT_EQ(sample.at("sex"), card["sex"]);
    EXPECT_EQ(sample.at("nation"), card["nation_code"]);
    EXPECT_EQ("汉", card["nation_name"]);
    EXPECT_EQ(sample.at("birth"), card["birth"]);
    EXPECT_EQ(sample.at("address"), card["address"]);
    EXPECT_EQ(sample.at("id_number"), card["id_number"]);
    EXPECT_EQ("ok", card["id_check"]);
    EXPECT_EQ(sample.at("authority"), card["authority"]);
    EXPECT_EQ(sample.at("valid_from"), card["valid_from"]);
    EXPECT_EQ(sample.at("valid_to"), card["valid_to"]);
    EXPECT_EQ(1368u, card["photo"].get<std::string>().size()); // 1024 bytes in base64
    EXPECT_EQ(344u, card["text_block"].get<std::string>().size());
    EXPECT_GT(card["times_us"]["read"].get<unsigned>(), 0u);
    EXPECT_TRUE(card["photo_image"].is_null());
}

// The service and vessik-read --json give one card the same object (the
// read times aside, which differ from read to read).
TEST(ServiceApi, ReadAnswerIsTheObjectTheCliPrints)
{
#ifndef VESSIK_READ_CLI
    GTEST_SKIP() << "vessik-read is not in this tree";
#else
    ServiceProcess cli;
    std::string why;
    ASSERT_EQ(
        0, cli.run({VESSIK_LAUNCHER, "--", VESSIK_READ_CLI, "--json", "--once", "--timeout", "5"},
                   20, why))
        << why << cli.output();
    using ordered = nlohmann::ordered_json;
    ordered printed;
    std::istringstream lines(cli.output());
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] == '{')
            printed = ordered::parse(line, nullptr, false);
    }
    ASSERT_TRUE(printed.is_object()) << cli.output();

    ServiceProcess service;
    START(service, {}, {});
    auto client = service.client();
    const auto r = client.Post("/v1/read", "", "application/json");
    ASSERT_TRUE(r);
    ordered answered = ordered::parse(r->body, nullptr, false);
    ASSERT_TRUE(answered.is_object()) << r->body;
    ASSERT_TRUE(printed.contains("times_us") && answered.contains("times_us"));
    printed.erase("times_us");
    answered.erase("times_us");
    EXPECT_EQ(printed, answered);
    EXPECT_EQ(printed.dump(), answered.dump()); // the same keys in the same order
#endif
}

TEST(ServiceApi, ReadWithoutCardEndsAtItsDeadline)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {});
    auto client = service.client();
    const double started = NowS();
    const auto r = client.Post("/v1/read", post_json({{"deadline_ms", 400}}), "application/json");
    const double took = NowS() - started;
    ASSERT_TRUE(r);
    EXPECT_EQ(504, r->status);
    const json error = body_of(r);
    EXPECT_EQ("timeout", error["error"]);
    EXPECT_EQ(vessik_strerror(VESSIK_E_TIMEOUT), error["message"]);
    EXPECT_EQ(VESSIK_E_TIMEOUT, error["code"]);
    EXPECT_GE(took, 0.4);
    EXPECT_LT(took, 1.5);
}

TEST(ServiceApi, ASecondReadWhileOneRunsIsBusy)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {});
    Answer first;
    std::thread waiting([&] {
        auto client = service.client();
        first.take(client.Post("/v1/read", post_json({{"deadline_ms", 1500}}), "application/json"));
    });
    ASSERT_TRUE(status_becomes(service, "read_in_progress", true, 3));
    auto client = service.client();
    const auto second = client.Post("/v1/read", "", "application/json");
    waiting.join();
    ASSERT_TRUE(second);
    EXPECT_EQ(409, second->status);
    EXPECT_EQ("busy", body_of(second)["error"]);
    EXPECT_EQ(vessik_strerror(VESSIK_E_BUSY), body_of(second)["message"]);
    ASSERT_TRUE(first.arrived);
    EXPECT_EQ(504, first.status); // the first read went on undisturbed
}

// A page that gives up on its read (navigates away, aborts the fetch)
// closes the connection: the reader is free again at once, not when the
// read's deadline comes.
TEST(ServiceApi, AReadWhoseClientLeftIsCancelled)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {});
    const std::string body = post_json({{"deadline_ms", 20000}});
    const std::string request =
        "POST /v1/read HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(service.port()) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body;
    const int fd = connect_loopback(service.port());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(request.size()),
              send(fd, request.data(), request.size(), MSG_NOSIGNAL));
    ASSERT_TRUE(status_becomes(service, "read_in_progress", true, 3));
    close(fd);
    const double left = NowS();
    EXPECT_TRUE(status_becomes(service, "read_in_progress", false, 3));
    EXPECT_LT(NowS() - left, 1.0);

    auto client = service.client();
    const auto next =
        client.Post("/v1/read", post_json({{"deadline_ms", 300}}), "application/json");
    ASSERT_TRUE(next);
    EXPECT_EQ(504, next->status) << next->body; // its own timeout, not busy
}

TEST(ServiceApi, ReadBodiesOtherThanADeadlineAreRefused)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {"--max-deadline-ms=5000"});
    auto client = service.client();
    for (const char *body :
         {"{", "[]", "12", "{\"deadline\": 100}", "{\"deadline_ms\": 0}", "{\"deadline_ms\": 5001}",
          "{\"deadline_ms\": -5}", "{\"deadline_ms\": \"100\"}", "{\"deadline_ms\": 1.5}"}) {
        const auto r = client.Post("/v1/read", body, "application/json");
        ASSERT_TRUE(r) << body;
        EXPECT_EQ(400, r->status) << body;
        EXPECT_EQ("bad-request", body_of(r)["error"]) << body;
    }
    EXPECT_EQ(false, body_of(client.Get("/v1/status"))["read_in_progress"]);
}

// A local program's body is JSON whatever its label, and a POST with no
// length (curl -X POST) has none; a page's form stays refused. A read that
// got through ends at its deadline: there is no card.
TEST(ServiceApi, ALocalProgramsBodyIsJsonWhateverItsLabel)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {"--allow-origin=" + kAllowedOrigin});
    const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
    const std::string json_body = "{\"appended_address\": true}";
    const std::string length = "Content-Length: " + std::to_string(json_body.size()) + "\r\n";
    const struct {
        std::string head;
        std::string body;
        int status;
    } kRows[] = {
        {form + length, json_body, 504},
        {"", "", 504},
        {"Origin: " + kAllowedOrigin + "\r\n" + form + length, json_body, 400},
    };
    for (const auto &row : kRows) {
        const std::string answer = raw_exchange(
            service.port(),
            "POST /v1/read?deadline_ms=100&fingerprints=1 HTTP/1.1\r\nHost: 127.0.0.1:" +
                std::to_string(service.port()) + "\r\nConnection: close\r\n" + row.head + "\r\n" +
                row.body,
            "", 0, "");
        EXPECT_EQ(row.status, answer_status(answer)) << row.head << answer;
    }
}

TEST(ServiceApi, WithoutReaderStatusAndReadSaySo)
{
    ServiceProcess service;
    START(service, {"--no-reader"}, {});
    auto client = service.client();
    EXPECT_EQ(false, body_of(client.Get("/v1/status"))["reader_present"]);
    const auto r = client.Post("/v1/read", post_json({{"deadline_ms", 2000}}), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(503, r->status);
    EXPECT_EQ("no-reader", body_of(r)["error"]);
    EXPECT_EQ(vessik_strerror(VESSIK_E_NO_READER), body_of(r)["message"]);
}

TEST(ServiceApi, PageAndUnknownPathsAndMethods)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {});
    auto client = service.client();
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(200, page->status);
    EXPECT_EQ(0u, page->get_header_value("Content-Type").find("text/html"));
    EXPECT_NE(std::string::npos, page->body.find("<script src=\"/app.js\""));
    EXPECT_NE(std::string::npos,
              page->get_header_value("Content-Security-Policy").find("script-src 'self'"));
    const auto script = client.Get("/app.js");
    ASSERT_TRUE(script);
    EXPECT_EQ(0u, script->get_header_value("Content-Type").find("text/javascript"));
    EXPECT_NE(std::string::npos, script->body.find("/v1/events"));

    const auto missing = client.Get("/index.html");
    ASSERT_TRUE(missing);
    EXPECT_EQ(404, missing->status);
    EXPECT_EQ("not-found", body_of(missing)["error"]);
    const auto wrong_method = client.Get("/v1/read");
    ASSERT_TRUE(wrong_method);
    EXPECT_EQ(405, wrong_method->status);
    EXPECT_EQ("POST", wrong_method->get_header_value("Allow"));
}

TEST(ServiceApi, PhotoNeedsARealDecoder)
{
    ServiceProcess service;
    START(service, {}, {});
    auto client = service.client();
    const json card = body_of(client.Post("/v1/read", "", "application/json"));
    ASSERT_TRUE(card.contains("photo")) << card.dump();
    const auto r =
        client.Post("/v1/photo", post_json({{"photo", card["photo"]}}), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(501, r->status);
    EXPECT_EQ("no-decoder", body_of(r)["error"]);
    for (const json &bad : {json{{"photo", "Zm9v"}}, json{{"photo", 5}}, json::object(),
                            json{{"photo", card["photo"]}, {"x", 1}}}) {
        const auto refused = client.Post("/v1/photo", bad.dump(), "application/json");
        ASSERT_TRUE(refused);
        EXPECT_EQ(400, refused->status) << bad.dump();
    }
}

// A decoder put in the stand-in's place with LD_PRELOAD, as the kit's
// README tells integrators to do; without libpng the portrait cannot be a
// PNG, and the answer says that rather than blame the decoder.
TEST(ServiceApi, PhotoComesFromAPreloadedDecoder)
{
    for (const bool libpng : {true, false}) {
        SCOPED_TRACE(libpng ? "libpng" : "no libpng");
        std::vector<std::string> env = {std::string("LD_PRELOAD=") + VESSIK_FAKE_DECODER};
        if (!libpng)
            env.push_back(std::string("LD_LIBRARY_PATH=") + VESSIK_NO_LIBPNG_DIR);
        ServiceProcess service;
        START(service, {}, {}, env);
        auto client = service.client();
        EXPECT_EQ("installed", body_of(client.Get("/v1/status"))["photo_decoder"]);
        const json card = body_of(client.Post("/v1/read", "", "application/json"));
        ASSERT_TRUE(card.contains("photo")) << card.dump();
        const auto r =
            client.Post("/v1/photo", post_json({{"photo", card["photo"]}}), "application/json");
        ASSERT_TRUE(r);
        if (!libpng) {
            EXPECT_EQ(501, r->status);
            EXPECT_EQ("no-png-writer", body_of(r)["error"]);
            continue;
        }
        ASSERT_EQ(200, r->status) << r->body;
        EXPECT_EQ("image/png", r->get_header_value("Content-Type"));
        EXPECT_EQ(0u, r->body.rfind("\x89PNG\r\n\x1A\n", 0));
    }
}

// --------------------------------------------------------- who may call

TEST(ServiceAccess, OnlyAllowedOriginsAreServed)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {"--allow-origin=" + kAllowedOrigin});
    auto client = service.client();

    const auto allowed = client.Get("/v1/status", {{"Origin", kAllowedOrigin}});
    ASSERT_TRUE(allowed);
    EXPECT_EQ(200, allowed->status);
    EXPECT_EQ(kAllowedOrigin, allowed->get_header_value("Access-Control-Allow-Origin"));
    EXPECT_EQ("Origin", allowed->get_header_value("Vary"));

    const std::string own = "http://127.0.0.1:" + std::to_string(service.port());
    const auto same_origin = client.Get("/v1/status", {{"Origin", own}});
    ASSERT_TRUE(same_origin);
    EXPECT_EQ(200, same_origin->status);

    const auto refused = client.Get("/v1/status", {{"Origin", kEvilOrigin}});
    ASSERT_TRUE(refused);
    EXPECT_EQ(403, refused->status);
    EXPECT_EQ("forbidden-origin", body_of(refused)["error"]);
    EXPECT_FALSE(refused->has_header("Access-Control-Allow-Origin"));

    // A refused page cannot start a read either: the answer comes at once.
    const double started = NowS();
    const auto read = client.Post("/v1/read", {{"Origin", kEvilOrigin}},
                                  post_json({{"deadline_ms", 3000}}), "text/plain");
    ASSERT_TRUE(read);
    EXPECT_EQ(403, read->status);
    EXPECT_LT(NowS() - started, 1.0);

    // Without Origin (a program, not a page) the request goes through.
    const auto no_origin = client.Get("/v1/status");
    ASSERT_TRUE(no_origin);
    EXPECT_EQ(200, no_origin->status);
    EXPECT_FALSE(no_origin->has_header("Access-Control-Allow-Origin"));
}

// The kernel says which user is behind a connection: users other than the
// administrators, the one at the seat and those the settings name are
// refused, whatever origin or token they send.
TEST(ServiceAccess, OtherLocalUsersAreRefused)
{
    service_test::AsNobody nobody;
    if (!nobody.available())
        GTEST_SKIP() << "running a client as another user needs root and setpriv";
    const std::string peer = nobody.place(VESSIK_PEER_CLIENT);
    const auto status_as_nobody = [&](const ServiceProcess &service) {
        const std::string request =
            "GET /v1/status HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(service.port()) +
            "\r\nOrigin: " + kAllowedOrigin + "\r\nAuthorization: Bearer " + kToken + "\r\n\r\n";
        std::vector<std::string> args = service_test::AsNobody::wrapper();
        args.insert(args.end(), {peer, std::to_string(service.port()), "request", request});
        ServiceProcess client;
        std::string why;
        EXPECT_EQ(0, client.run(args, 10, why)) << why << client.output();
        return client.output();
    };
    const std::vector<std::string> trusted = {"--allow-origin=" + kAllowedOrigin,
                                              "--token=" + kToken};
    {
        ServiceProcess service;
        START(service, {"--no-card"}, trusted);
        const std::string answer = status_as_nobody(service);
        EXPECT_EQ(403, answer_status(answer)) << answer;
        EXPECT_EQ("forbidden-user", answer_body(answer)["error"]) << answer;
        // The service's own user (here root) is served as ever.
        auto client = service.client();
        EXPECT_EQ(200, client.Get("/v1/status", {{"Authorization", "Bearer " + kToken}})->status);
    }
    for (const char *named : {"nobody", "@nogroup"}) {
        ServiceProcess service;
        std::vector<std::string> options = trusted;
        options.push_back(std::string("--allow-users=") + named);
        START(service, {"--no-card"}, options);
        const std::string answer = status_as_nobody(service);
        EXPECT_EQ(200, answer_status(answer)) << named << ": " << answer;
        // And the token is still asked for.
        EXPECT_EQ(401, service.client().Get("/v1/status")->status);
    }
}

// What the reader is doing is the local users' and the kit's page's to
// know; a page of another origin learns the reader's presence and the
// version.
TEST(ServiceAccess, StatusTellsActivityOnlyToTheOwnPageAndLocalPrograms)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {"--allow-origin=" + kAllowedOrigin});
    auto client = service.client();
    for (const httplib::Headers &headers :
         {httplib::Headers{}, own_page(), httplib::Headers{{"Origin", own_origin(service)}}}) {
        const json status = body_of(client.Get("/v1/status", headers));
        EXPECT_TRUE(status.contains("read_in_progress")) << status.dump();
        EXPECT_TRUE(status.contains("event_streams")) << status.dump();
    }
    const json other = body_of(client.Get("/v1/status", {{"Origin", kAllowedOrigin}}));
    EXPECT_EQ(true, other["reader_present"]) << other.dump();
    EXPECT_EQ(VESSIK_VERSION, other["version"]);
    for (const char *activity : {"read_in_progress", "watching", "event_streams"})
        EXPECT_FALSE(other.contains(activity)) << other.dump();
    EventStream stream(service, "/v1/events", {{"Origin", kAllowedOrigin}});
    ASSERT_TRUE(stream.wait_for("event: status\ndata: {", 5)) << stream.text();
    EXPECT_EQ(std::string::npos, stream.text().find("watching")) << stream.text();
}

// Only the addresses the service holds are its own: on 127.0.0.1 alone, a
// page from [::1] or from localhost (which may lead there) could be another
// program's on the same port.
TEST(ServiceAccess, OwnOriginsAreTheAddressesHeld)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {"--listen=127.0.0.1"});
    auto client = service.client();
    const std::string port = std::to_string(service.port());
    EXPECT_EQ(200, client.Get("/v1/status", {{"Origin", "http://127.0.0.1:" + port}})->status);
    for (const std::string &other : {"http://[::1]:" + port, "http://localhost:" + port})
        EXPECT_EQ(403, client.Get("/v1/status", {{"Origin", other}})->status) << other;
}

TEST(ServiceAccess, ForeignHostNamesAreRefused)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {});
    auto client = service.client();
    const std::string port = std::to_string(service.port());
    for (const std::string &host : {"evil.example:" + port, "127.0.0.1.nip.io:" + port}) {
        const auto r = client.Get("/v1/status", {{"Host", host}});
        ASSERT_TRUE(r);
        EXPECT_EQ(403, r->status) << host;
        EXPECT_EQ("forbidden-host", body_of(r)["error"]);
    }
    const auto own = client.Get("/v1/status", {{"Host", "localhost:" + port}});
    ASSERT_TRUE(own);
    EXPECT_EQ(200, own->status);
}

TEST(ServiceAccess, PreflightAnswersAllowedOriginsMethodsAndHeaders)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {"--allow-origin=" + kAllowedOrigin, "--token=" + kToken});
    auto client = service.client();
    const auto preflight = [&](const std::string &path, const std::string &origin,
                               const std::string &method, const std::string &headers) {
        httplib::Headers h = {{"Origin", origin}, {"Access-Control-Request-Method", method}};
        if (!headers.empty())
            h.emplace("Access-Control-Request-Headers", headers);
        return client.Options(path.c_str(), h);
    };

    const auto ok = preflight("/v1/read", kAllowedOrigin, "POST", "authorization,content-type");
    ASSERT_TRUE(ok);
    EXPECT_EQ(204, ok->status); // no token: browsers send none with a preflight
    EXPECT_EQ(kAllowedOrigin, ok->get_header_value("Access-Control-Allow-Origin"));
    EXPECT_EQ("POST", ok->get_header_value("Access-Control-Allow-Methods"));
    EXPECT_EQ("Authorization, Content-Type", ok->get_header_value("Access-Control-Allow-Headers"));
    EXPECT_FALSE(ok->get_header_value("Access-Control-Max-Age").empty());
    EXPECT_FALSE(ok->has_header("Access-Control-Allow-Private-Network"));

    const auto pna =
        client.Options("/v1/status", {{"Origin", kAllowedOrigin},
                                      {"Access-Control-Request-Method", "GET"},
                                      {"Access-Control-Request-Private-Network", "true"}});
    ASSERT_TRUE(pna);
    EXPECT_EQ(204, pna->status);
    EXPECT_EQ("true", pna->get_header_value("Access-Control-Allow-Private-Network"));

    const struct {
        const char *path;
        std::string origin;
        const char *method;
        const char *headers;
        int status;
    } refused[] = {
        {"/v1/read", kEvilOrigin, "POST", "", 403},
        {"/v1/read", kAllowedOrigin, "DELETE", "", 403},
        {"/v1/read", kAllowedOrigin, "GET", "", 403},
        {"/v1/read", kAllowedOrigin, "POST", "content-type, x-requested-with", 403},
        {"/v1/nothing", kAllowedOrigin, "GET", "", 404},
    };
    for (const auto &c : refused) {
        const auto r = preflight(c.path, c.origin, c.method, c.headers);
        ASSERT_TRUE(r);
        EXPECT_EQ(c.status, r->status) << c.path << " " << c.origin << " " << c.method;
        EXPECT_FALSE(r->has_header("Access-Control-Allow-Methods"));
    }
}

TEST(ServiceAccess, TokenGuardsTheApiButNotThePage)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {"--token=" + kToken});
    auto client = service.client();
    const auto missing = client.Get("/v1/status");
    ASSERT_TRUE(missing);
    EXPECT_EQ(401, missing->status);
    EXPECT_EQ("Bearer realm=\"vessikd\"", missing->get_header_value("WWW-Authenticate"));
    EXPECT_EQ("unauthorized", body_of(missing)["error"]);
    const auto wrong = client.Get("/v1/status", {{"Authorization", "Bearer " + kToken + "x"}});
    ASSERT_TRUE(wrong);
    EXPECT_EQ(401, wrong->status);
    const auto read =
        client.Post("/v1/read", post_json({{"deadline_ms", 100}}), "application/json");
    ASSERT_TRUE(read);
    EXPECT_EQ(401, read->status);
    // Only the event stream may carry the token in its query.
    const auto query = client.Get(("/v1/status?access_token=" + kToken).c_str());
    ASSERT_TRUE(query);
    EXPECT_EQ(401, query->status);

    const auto right = client.Get("/v1/status", {{"Authorization", "Bearer " + kToken}});
    ASSERT_TRUE(right);
    EXPECT_EQ(200, right->status);
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(200, page->status);

    EventStream stream(service, "/v1/events?access_token=" + kToken);
    EXPECT_TRUE(stream.wait_for("event: status", 5)) << stream.text();
    EventStream refused_stream(service, "/v1/events?access_token=wrong");
    EXPECT_FALSE(refused_stream.wait_for("event: status", 1));
    EXPECT_EQ(401, refused_stream.status());
}

TEST(ServiceAccess, TokenFromTheConfigFile)
{
    char path[] = "/tmp/vessikd-conf.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text = "# test\ntoken = " + kToken + "\nmax-request-bytes = 3000\n";
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
    close(fd);
    ServiceProcess service;
    // --config names the file after the fixture's /dev/null, so it wins.
    START(service, {"--no-card"}, {std::string("--config=") + path});
    unlink(path);
    auto client = service.client();
    EXPECT_EQ(401, client.Get("/v1/status")->status);
    EXPECT_EQ(200, client.Get("/v1/status", {{"Authorization", "Bearer " + kToken}})->status);
}

TEST(ServiceAccess, OversizedRequestsAreRefused)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {});
    auto client = service.client();
    const std::string too_big(kDefaultMaxRequestBytes + 1, ' ');
    const auto r = client.Post("/v1/read", too_big, "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(413, r->status);
    EXPECT_EQ("too-large", body_of(r)["error"]);

    // At the limit the body is read (and judged on what it says).
    const std::string padded =
        "{\"deadline_ms\": 1}" + std::string(kDefaultMaxRequestBytes - 18, ' ');
    ASSERT_EQ(static_cast<size_t>(kDefaultMaxRequestBytes), padded.size());
    const auto at_limit = client.Post("/v1/read", padded, "application/json");
    ASSERT_TRUE(at_limit);
    EXPECT_EQ(504, at_limit->status);
}

// httplib bounds the body alone; the head is bounded here too, so that
// headers sent for ever neither grow the service nor hold a thread for ever.
TEST(ServiceAccess, OversizedHeadsAndChunkedBodiesAreRefused)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {});
    const pid_t pid = service.service_pid();
    ASSERT_GT(pid, 0) << "no vessikd process under the launcher";
    constexpr size_t kFloodBytes = 8 << 20;
    constexpr long kRssSlackKb = 1024;
    const std::string host = "Host: 127.0.0.1:" + std::to_string(service.port()) + "\r\n";
    const long rss_before = testsupport::FootprintOf(pid).rss_kb;

    const std::string flooded =
        raw_exchange(service.port(), "GET /v1/status HTTP/1.1\r\n" + host,
                     "X-Pad: " + std::string(1000, 'a') + "\r\n", kFloodBytes, "\r\n");
    EXPECT_EQ(431, answer_status(flooded)) << flooded.substr(0, 200);
    EXPECT_EQ("too-large", answer_body(flooded)["error"]) << flooded.substr(0, 400);
    const long rss_after = testsupport::FootprintOf(pid).rss_kb;
    EXPECT_LE(rss_after - rss_before, kRssSlackKb) << rss_before << " -> " << rss_after;

    // A body sent in chunks has no length to judge it by before it comes.
    const std::string chunk = "400\r\n" + std::string(0x400, ' ') + "\r\n";
    const std::string chunked =
        raw_exchange(service.port(),
                     "POST /v1/read HTTP/1.1\r\n" + host +
                         "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n",
                     chunk, 64 * chunk.size(), "0\r\n\r\n");
    EXPECT_EQ(413, answer_status(chunked)) << chunked.substr(0, 200);
    EXPECT_EQ("too-large", answer_body(chunked)["error"]) << chunked.substr(0, 400);

    // Headers of a sensible size still pass, a good many of them.
    auto client = service.client();
    httplib::Headers headers;
    for (int i = 0; i < 40; ++i)
        headers.emplace("X-Header-" + std::to_string(i), std::string(100, 'v'));
    const auto ok = client.Get("/v1/status", headers);
    ASSERT_TRUE(ok);
    EXPECT_EQ(200, ok->status);
}

// httplib's read timeout is for each read: a head sent a byte at a time
// would hold one of the service's few threads for as long as it lasted.
TEST(ServiceAccess, AHeadOrABodyTooSlowToArriveIsCutOff)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {});
    constexpr int kDripMs = 200;
    constexpr size_t kDripBytes = 100; // 20 s at that pace, past the 10 s bound
    const std::string host = "Host: 127.0.0.1:" + std::to_string(service.port()) + "\r\n";
    // The head and, at the same time, a body of a length the service takes.
    double body_took = 0;
    std::string body_answer;
    std::thread body([&] {
        const double started = NowS();
        body_answer = raw_exchange(service.port(),
                                   "POST /v1/read HTTP/1.1\r\n" + host +
                                       "Content-Type: application/json\r\nContent-Length: " +
                                       std::to_string(kDripBytes + 2) + "\r\n\r\n{",
                                   " ", kDripBytes, "}", kDripMs);
        body_took = NowS() - started;
    });
    const double started = NowS();
    const std::string answer =
        raw_exchange(service.port(), "GET /v1/status HTTP/1.1\r\n" + host + "X-Slow: ", "a",
                     kDripBytes, "\r\n\r\n", kDripMs);
    const double took = NowS() - started;
    body.join();
    EXPECT_EQ(408, answer_status(answer)) << answer.substr(0, 200);
    EXPECT_EQ("timeout", answer_body(answer)["error"]) << answer.substr(0, 400);
    EXPECT_GE(took, 9.5);
    EXPECT_LT(took, 13.0);
    EXPECT_EQ(408, answer_status(body_answer)) << body_answer.substr(0, 200);
    EXPECT_EQ("timeout", answer_body(body_answer)["error"]) << body_answer.substr(0, 400);
    EXPECT_GE(body_took, 9.5);
    EXPECT_LT(body_took, 13.0);
}

// ------------------------------------------------------------ starting up

TEST(ServiceStart, ListenAddressesOffTheLoopbackAreRefused)
{
    for (const char *address : {"0.0.0.0", "::", "192.168.1.10", "example.com"}) {
        ServiceProcess service;
        std::string why;
        const int status = service.run(
            {VESSIKD_PROGRAM, "--config=/dev/null", std::string("--listen=") + address}, 10, why);
        EXPECT_EQ(2, status) << address << why;
        EXPECT_NE(std::string::npos,
                  service.output().find(std::string("refusing to listen on '") + address + "'"))
            << service.output();
    }
}

TEST(ServiceStart, APortInUseEndsTheStartWithStatusOne)
{
    ServiceProcess first;
    START(first, {"--no-card"}, {});
    ServiceProcess second;
    std::string why;
    const int status = second.run({VESSIKD_PROGRAM, "--config=/dev/null", "--listen=127.0.0.1",
                                   "--port=" + std::to_string(first.port())},
                                  10, why);
    EXPECT_EQ(1, status) << why;
    EXPECT_NE(std::string::npos, second.output().find("cannot listen on 127.0.0.1:"))
        << second.output();
}

// An address another program holds is never skipped: the clients that call
// it, their tokens with them, would reach that program.
TEST(ServiceStart, AnAddressInUseIsFatalEvenTheSecondOne)
{
    // A free port on 127.0.0.1, then [::1] on it held by someone else.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(v4);
    ASSERT_EQ(0, bind(probe, reinterpret_cast<sockaddr *>(&v4), sizeof(v4)));
    ASSERT_EQ(0, getsockname(probe, reinterpret_cast<sockaddr *>(&v4), &len));
    const int squatter = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = v4.sin_port;
    if (squatter < 0 || bind(squatter, reinterpret_cast<sockaddr *>(&v6), sizeof(v6)) != 0) {
        close(probe);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ASSERT_EQ(0, listen(squatter, 1));
    close(probe);
    const std::string port = std::to_string(ntohs(v4.sin_port));
    ServiceProcess service;
    std::string why;
    const int status =
        service.run({VESSIKD_PROGRAM, "--config=/dev/null", "--port=" + port}, 10, why);
    close(squatter);
    EXPECT_EQ(1, status) << why << service.output();
    EXPECT_NE(std::string::npos, service.output().find("cannot listen on [::1]:" + port))
        << service.output();
}

// Under systemd the sockets of vessikd.socket are taken as they are, and
// only their addresses are the service's own.
TEST(ServiceStart, SocketsFromSystemdAreTakenAsTheyAre)
{
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)));
    ASSERT_EQ(0, listen(sock, SOMAXCONN));
    ASSERT_EQ(0, getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &len));
    constexpr int kAwayFromThree = 100; // dup2 onto descriptor 3 must copy it
    const int passed = fcntl(sock, F_DUPFD_CLOEXEC, kAwayFromThree);
    close(sock);
    RunOptions options = run_options({}, {"--listen=localhost"});
    options.under_reader = false;
    options.listen_fd = passed;
    ServiceProcess service;
    std::string why;
    ASSERT_TRUE(service.start(options, why)) << why;
    close(passed);
    EXPECT_EQ(ntohs(addr.sin_port), service.port());
    EXPECT_EQ(std::string::npos, service.output().find("[::1]")) << service.output();
    auto client = service.client();
    const std::string port = std::to_string(service.port());
    EXPECT_EQ(200, client.Get("/v1/status", {{"Origin", "http://127.0.0.1:" + port}})->status);
    EXPECT_EQ(403, client.Get("/v1/status", {{"Origin", "http://[::1]:" + port}})->status);
}

// A crash leaves no core with cards in it, and the service's own user
// cannot read its memory.
TEST(ServiceStart, TheServiceCannotBeDumpedOrTraced)
{
    service_test::AsNobody nobody;
    if (!nobody.available())
        GTEST_SKIP() << "running vessikd as another user needs root and setpriv";
    RunOptions options =
        run_options({}, {"--listen=127.0.0.1"}, {"LD_LIBRARY_PATH=" + nobody.dir()});
    options.under_reader = false;
    options.program = nobody.place(VESSIKD_PROGRAM);
    nobody.place(VESSIK_LIBRARY);
    nobody.place(VESSIK_STANDIN_DECODER);
    options.wrapper = service_test::AsNobody::wrapper();
    ServiceProcess service;
    std::string why;
    ASSERT_TRUE(service.start(options, why)) << why;
    const pid_t pid = service.service_pid();
    ASSERT_GT(pid, 0);
    // A process that may not be dumped has its /proc files owned by root.
    struct stat st {};
    ASSERT_EQ(0, stat(("/proc/" + std::to_string(pid) + "/status").c_str(), &st));
    const std::string status = testsupport::ReadFile("/proc/" + std::to_string(pid) + "/status");
    EXPECT_EQ(std::string::npos, status.find("\nUid:\t0\t")) << "vessikd runs as root";
    EXPECT_EQ(0u, st.st_uid);
}

TEST(ServiceStart, HelpNamesEveryOption)
{
    ServiceProcess service;
    std::string why;
    EXPECT_EQ(0, service.run({VESSIKD_PROGRAM, "--help"}, 10, why)) << why;
    for (const char *option :
         {"--config", "--listen", "--port", "--allow-origin", "--events-allow-origin",
          "--allow-users", "--token", "--token-file", "--max-request-bytes", "--read-deadline-ms",
          "--max-deadline-ms", "--max-event-streams", "--events-allow-users", "--card-events"})
        EXPECT_NE(std::string::npos, service.output().find(option)) << option;
}

// ------------------------------------------------------- the event stream

TEST(ServiceEvents, StreamTellsStateCardsAndUnplug)
{
    ServiceProcess service;
    START(service, {"--no-card", "--card-after", "2", "--unplug-after", "5"}, {events_for_me()});
    EventStream stream(service, "/v1/events", own_page());
    ASSERT_TRUE(stream.wait_for("event: status\ndata: {", 5)) << stream.text();
    EXPECT_NE(std::string::npos, stream.text().find("\"reader_present\":true")) << stream.text();
    ASSERT_TRUE(stream.wait_for("event: card\ndata: {\"type\":\"resident\"", 8)) << stream.text();
    EXPECT_NE(std::string::npos, stream.text().find(sample_card().at("id_number")));
    EXPECT_TRUE(
        stream.wait_for("event: reader\ndata: {\"present\":false,\"reader\":\"usb:1-1\"}", 8))
        << stream.text();
    // A card lying on the reader is told once, not once per watch round.
    const std::string text = stream.text();
    size_t cards = 0;
    for (size_t at = text.find("event: card"); at != std::string::npos;
         at = text.find("event: card", at + 1))
        ++cards;
    EXPECT_EQ(1u, cards) << text;
}

TEST(ServiceEvents, StreamTellsWhenTheCardIsLifted)
{
    ServiceProcess service;
    START(service, {"--no-card", "--card-after", "2", "--remove-after", "6"}, {events_for_me()});
    EventStream stream(service, "/v1/events", own_page());
    ASSERT_TRUE(stream.wait_for("event: card\n", 8)) << stream.text();
    // Lying there, the card is not told again, nor taken for lifted.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(std::string::npos, stream.text().find("event: card-removed")) << stream.text();
    ASSERT_TRUE(stream.wait_for("event: card-removed\ndata: {\"reader\":\"usb:1-1\"}", 8))
        << stream.text();
    const std::string text = stream.text();
    EXPECT_EQ(text.find("event: card\n"), text.rfind("event: card\n")) << text;
}

// A card a client has read is that client's: a stream opened while it lies
// on the reader is not sent it, not even the kit's own page's.
TEST(ServiceEvents, AStreamOpenedLaterIsNotSentTheCardLyingThere)
{
    ServiceProcess service;
    START(service, {}, {events_for_me()});
    auto client = service.client();
    const auto r = client.Post("/v1/read", post_json({{"deadline_ms", 5000}}), "application/json");
    ASSERT_TRUE(r);
    ASSERT_EQ(200, r->status) << r->body;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EventStream stream(service, "/v1/events", own_page());
    ASSERT_TRUE(stream.wait_for("event: status", 5)) << stream.text();
    EXPECT_FALSE(stream.wait_for("event: card", 4)) << stream.text();
}

// A client's read goes to that client alone: the streams already told of
// the card hear nothing more of it.
TEST(ServiceEvents, AClientsReadGoesToThatClientAlone)
{
    ServiceProcess service;
    START(service, {"--no-card", "--card-after", "2"}, {events_for_me()});
    EventStream page(service, "/v1/events", own_page());
    ASSERT_TRUE(page.wait_for("event: card\n", 8)) << page.text();
    auto client = service.client();
    const auto r = client.Post("/v1/read", post_json({{"deadline_ms", 5000}}), "application/json");
    ASSERT_TRUE(r);
    ASSERT_EQ(200, r->status) << r->body;
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_EQ(1u, page.count("event: card")) << page.text();
}

// For a user entitled to cards, a card laid on the reader goes with its data
// to the kit's own page, to its local programs (the user's own processes)
// and to the origins allowed the card data, once; another allowed origin's
// stream hears only that a card is there.
TEST(ServiceEvents, CardDataGoesOnlyToTheOwnPageAndEventOrigins)
{
    const std::string kiosk = "https://kiosk.example";
    ServiceProcess service;
    START(service, {"--no-card", "--card-after", "2"},
          {"--allow-origin=" + kAllowedOrigin, "--events-allow-origin=" + kiosk, events_for_me()});
    const std::string id = sample_card().at("id_number");
    EventStream page(service, "/v1/events", own_page());
    EventStream page_by_origin(service, "/v1/events", {{"Origin", own_origin(service)}});
    EventStream kiosk_page(service, "/v1/events", {{"Origin", kiosk}});
    EventStream program(service);
    EventStream other_page(service, "/v1/events", {{"Origin", kAllowedOrigin}});
    for (EventStream *told : {&page, &page_by_origin, &kiosk_page, &program}) {
        ASSERT_TRUE(told->wait_for("event: card\ndata: {", 8)) << told->text();
        EXPECT_NE(std::string::npos, told->text().find(id));
    }
    for (EventStream *untold : {&other_page}) {
        ASSERT_TRUE(untold->wait_for("event: card-present\ndata: {\"reader\":\"usb:1-1\"}", 8))
            << untold->text();
        EXPECT_EQ(std::string::npos, untold->text().find(id)) << untold->text();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(1u, page.count("event: card")) << page.text();
    EXPECT_EQ(1u, other_page.count("event: card-present")) << other_page.text();
}

// The user behind the connection decides who hears cards, not what it
// says: a user neither at the seat nor on events-allow-users (here the one
// running the tests, which no seat holds) claiming to be the kit's own page
// hears only that a card is there.
TEST(ServiceEvents, AUserNotOnTheEventsListHearsNoCardWhateverItSays)
{
    ServiceProcess service;
    START(service, {"--no-card", "--card-after", "2"}, {});
    const std::string id = sample_card().at("id_number");
    EventStream claims_same_origin(service, "/v1/events", own_page());
    EventStream claims_own_origin(service, "/v1/events", {{"Origin", own_origin(service)}});
    for (EventStream *stream : {&claims_same_origin, &claims_own_origin}) {
        ASSERT_TRUE(stream->wait_for("event: card-present\ndata: {\"reader\":\"usb:1-1\"}", 8))
            << stream->text();
        EXPECT_EQ(std::string::npos, stream->text().find(id)) << stream->text();
        EXPECT_EQ(0u, stream->count("event: card\n")) << stream->text();
    }
}

// card-events = off: the streams hear of readers, never of cards; a read
// on request still reads.
TEST(ServiceEvents, WithCardEventsOffNoCardIsTold)
{
    ServiceProcess service;
    START(service, {"--no-card", "--card-after", "1"}, {events_for_me(), "--card-events=off"});
    EventStream stream(service, "/v1/events", own_page());
    ASSERT_TRUE(stream.wait_for("event: status", 5)) << stream.text();
    EXPECT_FALSE(stream.wait_for("event: card", 4)) << stream.text();
    EXPECT_EQ(std::string::npos, stream.text().find("\"watching\":true")) << stream.text();
    auto client = service.client();
    const auto r = client.Post("/v1/read", post_json({{"deadline_ms", 3000}}), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status) << r->body;
}

// A reader that does not find a card again after reading it cannot tell a
// lifted card from one left lying: it is never said to be lifted.
TEST(ServiceEvents, NoRemovalIsToldByAReaderThatDoesNotRefind)
{
    ServiceProcess service;
    START(service, {"--no-card", "--card-after", "2", "--fault", "no-refind"}, {events_for_me()});
    EventStream stream(service, "/v1/events", own_page());
    ASSERT_TRUE(stream.wait_for("event: card\n", 8)) << stream.text();
    EXPECT_FALSE(stream.wait_for("event: card-removed", 4)) << stream.text();
}

TEST(ServiceEvents, ClientReadTakesTheReaderFromTheWatch)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {});
    EventStream stream(service);
    ASSERT_TRUE(stream.wait_for("event: status", 5));
    ASSERT_TRUE(status_becomes(service, "watching", true, 5));
    // The watch is reading; a client read must still be served at once
    // (here: within its short deadline, with no card to find).
    auto client = service.client();
    const double started = NowS();
    const auto r = client.Post("/v1/read", post_json({{"deadline_ms", 300}}), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(504, r->status) << r->body;
    EXPECT_LT(NowS() - started, 1.2);
}

TEST(ServiceEvents, ClosedStreamsAreLetGoAndTheWatchStops)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {});
    {
        EventStream a(service);
        EventStream b(service);
        ASSERT_TRUE(a.wait_for("event: status", 5));
        ASSERT_TRUE(b.wait_for("event: status", 5));
        EXPECT_TRUE(status_becomes(service, "event_streams", 2, 2));
    }
    EXPECT_TRUE(status_becomes(service, "event_streams", 0, 8));
    EXPECT_TRUE(status_becomes(service, "watching", false, 5));
}

TEST(ServiceEvents, StreamsBeyondTheLimitAreRefused)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {"--max-event-streams=1"});
    EventStream first(service);
    ASSERT_TRUE(first.wait_for("event: status", 5));
    auto client = service.client();
    const auto second = client.Get("/v1/events");
    ASSERT_TRUE(second);
    EXPECT_EQ(503, second->status);
    EXPECT_EQ("too-many-streams", body_of(second)["error"]);
}

// ------------------------------------------------------------------ limits

// One local client (another user the settings admit) holds every kind of
// connection it can at once: event streams without an Origin, request
// bodies and request heads that drip a byte every half second. The page
// and the administrators are served all the same, and at once.
TEST(ServiceLimits, TheServiceStaysResponsiveUnderExhaustion)
{
    service_test::AsNobody nobody;
    if (!nobody.available())
        GTEST_SKIP() << "running the attacker as another user needs root and setpriv";
    ServiceProcess service;
    START(service, {}, {"--allow-users=nobody"});
    std::vector<std::string> args = service_test::AsNobody::wrapper();
    args.insert(args.end(),
                {nobody.place(VESSIK_PEER_CLIENT), std::to_string(service.port()), "flood", "8"});
    ServiceProcess attacker;
    std::string why;
    ASSERT_TRUE(attacker.launch(args, why)) << why;
    ASSERT_TRUE(attacker.output_shows("held: ", 5)) << attacker.output();
    std::printf("figure: the attacker %s", attacker.output().c_str());
    const std::regex held("streams ([0-9]+) of 8, bodies ([0-9]+) of 16, heads ([0-9]+) of 16");
    std::smatch m;
    const std::string report = attacker.output();
    ASSERT_TRUE(std::regex_search(report, m, held)) << report;
    EXPECT_GT(std::stoi(m[1]) + std::stoi(m[2]) + std::stoi(m[3]), 0) << "no attack to withstand";
    EXPECT_LT(std::stoi(m[1]), 8) << "streams without an Origin are capped";

    auto client = service.client();
    double started = NowS();
    const auto status = client.Get("/v1/status");
    ASSERT_TRUE(status);
    EXPECT_EQ(200, status->status);
    EXPECT_LT(NowS() - started, 1.0);
    EventStream page(service, "/v1/events", own_page());
    EXPECT_TRUE(page.wait_for("event: status", 2)) << page.text();
    started = NowS();
    const auto read =
        client.Post("/v1/read", post_json({{"deadline_ms", 5000}}), "application/json");
    ASSERT_TRUE(read);
    EXPECT_EQ(200, read->status) << read->body;
    EXPECT_LT(NowS() - started, 4.0);
    page.close();
    EXPECT_TRUE(attacker.exited(15));
}

// ---------------------------------------------------------------- shutdown

TEST(ServiceShutdown, SigtermCancelsTheReadAndExitsZero)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {});
    EventStream stream(service);
    ASSERT_TRUE(stream.wait_for("event: status", 5));
    Answer read;
    std::thread waiting([&] {
        auto client = service.client();
        read.take(client.Post("/v1/read", post_json({{"deadline_ms", 20000}}), "application/json"));
    });
    ASSERT_TRUE(status_becomes(service, "read_in_progress", true, 3));
    const double signalled = NowS();
    service.send(SIGTERM); // the launcher hands it on to vessikd
    ASSERT_TRUE(service.exited(5)) << service.output();
    const double took = NowS() - signalled;
    waiting.join();
    EXPECT_EQ(0, service.status()) << service.output();
    EXPECT_LT(took, 2.0);
    std::printf("figure: shutdown with a read in progress: %.0f ms\n", took * 1000);
    ASSERT_TRUE(read.arrived);
    EXPECT_EQ(503, read.status);
    EXPECT_EQ("cancelled", json::parse(read.body, nullptr, false)["error"]);
}

// -------------------------------------------------------------------- soak

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

// One round of the requests a day brings: status, the page, preflights,
// refusals of every kind, and short reads that run the reader open/close.
void soak_round(httplib::Client &client, int i, std::vector<double> *status_ms)
{
    const httplib::Headers auth = {{"Authorization", "Bearer " + kToken}};
    switch (i % 10) {
    case 0:
    case 1:
    case 2: {
        const double t = NowS();
        const auto r = client.Get("/v1/status", auth);
        if (status_ms != nullptr)
            status_ms->push_back((NowS() - t) * 1000);
        ASSERT_TRUE(r);
        ASSERT_EQ(200, r->status);
        break;
    }
    case 3:
        ASSERT_EQ(200, client.Get(i % 20 == 3 ? "/" : "/app.js")->status);
        break;
    case 4:
        ASSERT_EQ(204, client
                           .Options("/v1/read", {{"Origin", kAllowedOrigin},
                                                 {"Access-Control-Request-Method", "POST"}})
                           ->status);
        break;
    case 5:
        ASSERT_EQ(403, client.Get("/v1/status", {{"Origin", kEvilOrigin}})->status);
        break;
    case 6:
        ASSERT_EQ(401, client.Get("/v1/status")->status);
        break;
    case 7:
        ASSERT_EQ(
            413, client.Post("/v1/read", auth, std::string(5000, 'x'), "application/json")->status);
        break;
    case 8:
        ASSERT_EQ(
            400,
            client.Post("/v1/read", auth, "{\"deadline_ms\": true}", "application/json")->status);
        break;
    default:
        ASSERT_EQ(
            504, client.Post("/v1/read", auth, "{\"deadline_ms\": 2}", "application/json")->status);
        break;
    }
}

TEST(ServiceSoak, AThousandRequestsLeaveMemoryAndDescriptorsFlat)
{
    ServiceProcess service;
    START(service, {"--no-card"}, {"--allow-origin=" + kAllowedOrigin, "--token=" + kToken});
    const pid_t pid = service.service_pid();
    ASSERT_GT(pid, 0) << "no vessikd process under the launcher";
    constexpr int kWarmUp = 300;
    constexpr int kRequests = 1000;
    constexpr long kRssSlackKb = 512;

    // Warm up: every pool thread has its allocator arena, every path its
    // first allocations. Some connections are kept alive, some are not.
    for (int i = 0; i < kWarmUp; ++i) {
        auto client = service.client();
        client.set_keep_alive(i % 2 == 0);
        soak_round(client, i, nullptr);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const testsupport::Footprint before = testsupport::FootprintOf(pid);

    std::vector<double> status_ms;
    auto kept = service.client();
    kept.set_keep_alive(true);
    const double started = NowS();
    for (int i = 0; i < kRequests; ++i) {
        if (i % 4 == 0) {
            auto fresh = service.client();
            soak_round(fresh, i, &status_ms);
        } else {
            soak_round(kept, i, &status_ms);
        }
        if (HasFatalFailure())
            return;
    }
    const double took = NowS() - started;
    kept.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const testsupport::Footprint after = testsupport::FootprintOf(pid);

    std::printf("figure: soak of %d requests in %.1f s; rss %ld -> %ld kB, fds %d -> %d\n",
                kRequests, took, before.rss_kb, after.rss_kb, before.fds, after.fds);
    std::printf("figure: GET /v1/status latency over %zu requests: median %.2f ms, p99 %.2f ms\n",
                status_ms.size(), percentile(status_ms, 0.5), percentile(status_ms, 0.99));
    ASSERT_GT(before.rss_kb, 0);
    EXPECT_EQ(before.fds, after.fds);
    EXPECT_LE(after.rss_kb - before.rss_kb, kRssSlackKb);
}

} // namespace
