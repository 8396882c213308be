// SPDX-License-Identifier: LGPL-2.1-or-later
// The doctor's look at vessikd (see service_check.h).
#include "service_check.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "config.h"

namespace doctor {

namespace {

using Json = nlohmann::json;

constexpr const char *kServiceHost = "127.0.0.1";
constexpr time_t kConnectTimeoutS = 2;
constexpr time_t kAnswerTimeoutS = 5;
constexpr int kHttpOk = 200;
constexpr int kHttpUnauthorized = 401;
constexpr int kHttpForbidden = 403;

// "a, b and c"; `none` for an empty list.
std::string listed(const Json &items, const char *none)
{
    std::string text;
    for (size_t i = 0; items.is_array() && i < items.size(); ++i) {
        if (i > 0)
            text += i + 1 == items.size() ? " and " : ", ";
        text += items[i].is_string() ? items[i].get<std::string>() : items[i].dump();
    }
    return text.empty() ? none : text;
}

void print_admits(const Json &admits)
{
    std::printf("  admits users: %s, and the user at the seat\n",
                listed(admits.value("users", Json()), "none named").c_str());
    std::printf("  admits pages of: %s\n", listed(admits.value("origins", Json()), "none").c_str());
    if (!admits.value("card_events", true)) {
        puts("  cards on event streams: none (card-events = off)");
    } else {
        std::printf("  cards on event streams: for the user at the seat and %s; on pages of its "
                    "own and of %s\n",
                    listed(admits.value("event_users", Json()), "no one else").c_str(),
                    listed(admits.value("event_origins", Json()), "no other origin").c_str());
    }
    puts(admits.value("token", false) ? "  token: asked for on every API call"
                                      : "  token: none asked for");
}

void print_status(const std::string &where, const Json &status)
{
    const unsigned readers = status.value("readers", 0u);
    std::printf("vessikd at %s: up, version %s, serving %u reader%s\n", where.c_str(),
                status.value("version", std::string("unknown")).c_str(), readers,
                readers == 1 ? "" : "s");
    if (status.contains("admits"))
        print_admits(status["admits"]);
    else
        puts("  whom it admits: not said (a vessikd older than this doctor)");
}

} // namespace

int service_port_from_settings()
{
    std::ifstream in(vessikd::kDefaultConfigPath);
    std::ostringstream text;
    text << in.rdbuf();
    vessikd::Settings settings;
    std::string error;
    if (!in ||
        !vessikd::parse_config_text(text.str(), vessikd::kDefaultConfigPath, settings, error))
        return vessikd::kDefaultPort;
    const auto port = settings.find("port");
    if (port == settings.end() || port->second.empty())
        return vessikd::kDefaultPort;
    const int value = std::atoi(port->second.back().text.c_str());
    return value > 0 ? value : vessikd::kDefaultPort;
}

void report_service(int port)
{
    const std::string where = std::string(kServiceHost) + ":" + std::to_string(port);
    httplib::Client client(kServiceHost, port);
    client.set_connection_timeout(kConnectTimeoutS, 0);
    client.set_read_timeout(kAnswerTimeoutS, 0);
    const httplib::Result answer = client.Get("/v1/status");
    if (!answer) {
        std::printf("vessikd at %s: not running (%s); web pages cannot read cards until it is "
                    "(sudo systemctl enable --now vessikd.socket)\n",
                    where.c_str(), httplib::to_string(answer.error()).c_str());
        return;
    }
    const Json body = Json::parse(answer->body, nullptr, false);
    const std::string error = body.is_object() ? body.value("error", std::string()) : "";
    if (answer->status == kHttpForbidden && error == "forbidden-user") {
        std::printf("vessikd at %s: up, but it does not admit this user (uid %u): it admits "
                    "root, its own user, the user at the seat and those of allow-users\n",
                    where.c_str(), static_cast<unsigned>(getuid()));
    } else if (answer->status == kHttpUnauthorized) {
        std::printf("vessikd at %s: up, and asks for a token, which the doctor does not send: "
                    "whom it admits is not shown\n",
                    where.c_str());
    } else if (answer->status == kHttpOk && body.is_object() &&
               body.value("service", std::string()) == "vessikd") {
        print_status(where, body);
    } else {
        std::printf("vessikd at %s: another program answers there (HTTP %d)\n", where.c_str(),
                    answer->status);
    }
}

} // namespace doctor
