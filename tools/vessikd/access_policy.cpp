// SPDX-License-Identifier: LGPL-2.1-or-later
// Who may talk to vessikd (see access_policy.h).
#include "access_policy.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>

namespace vessikd {

namespace {

const char *const kPreflightHeaders[] = {"authorization", "content-type"};
constexpr const char *kBearerPrefix = "bearer ";
constexpr const char *kLocalhost = "localhost";
constexpr const char *kLocalhostSuffix = ".localhost";
constexpr unsigned kLoopbackNet = 127;
constexpr unsigned kNetShift = 24;

std::string lower(const std::string &text)
{
    std::string out = text;
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return out;
}

std::string trim(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool contains(const std::vector<std::string> &list, const std::string &item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The host of scheme://host[:port], an IPv6 address without its brackets.
std::string origin_host(const std::string &origin)
{
    const size_t scheme_end = origin.find("://");
    if (scheme_end == std::string::npos)
        return std::string();
    const std::string authority = origin.substr(scheme_end + 3);
    if (!authority.empty() && authority[0] == '[')
        return authority.substr(1, authority.find(']') - 1);
    return authority.substr(0, authority.rfind(':'));
}

// 127.0.0.0/8 and 0.0.0.0 (which browsers have led to this computer too).
bool loopback_v4(uint32_t address)
{
    return (address >> kNetShift) == kLoopbackNet || address == INADDR_ANY;
}

bool loopback_host(std::string host)
{
    while (!host.empty() && host.back() == '.')
        host.pop_back();
    if (host == kLocalhost || ends_with(host, kLocalhostSuffix))
        return true;
    in_addr v4{};
    // inet_aton reads the short and numeric forms too (127.1, 2130706433).
    if (inet_aton(host.c_str(), &v4) != 0)
        return loopback_v4(ntohl(v4.s_addr));
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) != 1)
        return false;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        uint32_t mapped = 0;
        std::copy(v6.s6_addr + 12, v6.s6_addr + 16, reinterpret_cast<unsigned char *>(&mapped));
        return loopback_v4(ntohl(mapped));
    }
    return IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6);
}

bool same_secret(const std::string &given, const std::string &expected)
{
    // Every byte of the longer text is looked at, so the time taken says
    // nothing about where the first difference lies.
    const size_t n = std::max(given.size(), expected.size());
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        const unsigned char b = i < expected.size() ? static_cast<unsigned char>(expected[i]) : 0;
        diff = static_cast<unsigned char>(diff | (a ^ b));
    }
    return diff == 0;
}

} // namespace

void add_own_names(AccessPolicy &policy, const std::vector<std::string> &hosts)
{
    for (const std::string &host : hosts) {
        policy.allowed_hosts.push_back(lower(host));
        policy.own_origins.push_back("http://" + lower(host));
    }
}

bool host_allowed(const AccessPolicy &policy, bool has_host, const std::string &host)
{
    return !has_host || contains(policy.allowed_hosts, lower(trim(host)));
}

bool loopback_origin(const std::string &origin)
{
    return loopback_host(lower(origin_host(origin)));
}

OriginVerdict check_origin(const AccessPolicy &policy, bool has_origin, const std::string &origin)
{
    if (!has_origin)
        return OriginVerdict::NoOrigin;
    // Origins are compared as browsers write them; the allow-list is
    // normalised to lower case when it is read.
    if (contains(policy.own_origins, origin))
        return OriginVerdict::Allowed;
    // Whoever took that port first serves the page: not ours to trust.
    if (loopback_origin(origin))
        return OriginVerdict::Refused;
    return contains(policy.allowed_origins, origin) || contains(policy.event_origins, origin)
               ? OriginVerdict::Allowed
               : OriginVerdict::Refused;
}

Requester requester_of(const AccessPolicy &policy, bool has_origin, const std::string &origin,
                       const std::string &sec_fetch_site)
{
    if (has_origin)
        return contains(policy.own_origins, origin) ? Requester::OwnPage : Requester::OtherOrigin;
    return lower(trim(sec_fetch_site)) == "same-origin" ? Requester::OwnPage
                                                        : Requester::LocalProgram;
}

bool receives_cards(const AccessPolicy &policy, bool user_receives_cards, Requester requester,
                    const std::string &origin)
{
    return user_receives_cards &&
           (requester != Requester::OtherOrigin || contains(policy.event_origins, origin));
}

bool token_accepted(const AccessPolicy &policy, const std::string &authorization,
                    const std::string &query_token)
{
    if (policy.token.empty())
        return true;
    const std::string prefix = lower(authorization.substr(0, std::string(kBearerPrefix).size()));
    if (prefix == kBearerPrefix)
        return same_secret(trim(authorization.substr(prefix.size())), policy.token);
    return !query_token.empty() && same_secret(query_token, policy.token);
}

bool preflight_headers_allowed(const std::string &requested)
{
    size_t start = 0;
    while (start <= requested.size()) {
        size_t comma = requested.find(',', start);
        if (comma == std::string::npos)
            comma = requested.size();
        const std::string name = lower(trim(requested.substr(start, comma - start)));
        if (!name.empty() && std::find(std::begin(kPreflightHeaders), std::end(kPreflightHeaders),
                                       name) == std::end(kPreflightHeaders))
            return false;
        start = comma + 1;
    }
    return true;
}

} // namespace vessikd
