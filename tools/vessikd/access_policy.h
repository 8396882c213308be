// SPDX-License-Identifier: LGPL-2.1-or-later
// What a request may do, by what it says: the Host it names (against DNS
// rebinding), the Origin a browser sends (against other web pages), whether
// it comes from the kit's own page, and the bearer token. Pure functions of
// the request's header values. (Who may connect at all, by the user behind
// the connection, is local_users.h.)
#ifndef VESSIKD_ACCESS_POLICY_H
#define VESSIKD_ACCESS_POLICY_H

#include <string>
#include <vector>

namespace vessikd {

// What requests are checked against, from the settings.
struct AccessPolicy {
    std::vector<std::string> allowed_origins; // normalised, see normalise_origin
    std::vector<std::string> event_origins;   // also sent card data on their event streams
    std::vector<std::string> own_origins;     // the page this service serves
    std::vector<std::string> allowed_hosts;   // lower-case host:port
    std::string token;                        // empty: none asked for
};

// The names the service answers to ("127.0.0.1:19904", "[::1]:19904",
// "localhost:19904": only addresses it holds) become allowed hosts, and as
// http:// origins its own origins.
void add_own_names(AccessPolicy &policy, const std::vector<std::string> &hosts);

// A request without Host comes from no browser, so it is let through.
bool host_allowed(const AccessPolicy &policy, bool has_host, const std::string &host);

// Whether an origin's host is this computer (localhost and its subdomains,
// 127.0.0.0/8, ::1, 0.0.0.0, written any way a browser could mean them):
// any local user can take a free port there first and serve a page.
bool loopback_origin(const std::string &origin);

// NoOrigin: the request sends none; otherwise whether it is one of the own
// origins, or an allowed or event origin off the loopback. A loopback
// origin other than the own ones is refused even when listed.
enum class OriginVerdict { NoOrigin, Allowed, Refused };
OriginVerdict check_origin(const AccessPolicy &policy, bool has_origin, const std::string &origin);

// Where a request says it comes from. A browser sends no Origin for a
// page's own GET requests but says Sec-Fetch-Site: same-origin, and the Host
// is this service's (host_allowed), so that is the kit's own page too. Any
// local program can say the same: this picks the stream's share of the
// limits and what an Origin narrows, never what a user may see.
enum class Requester { OwnPage, LocalProgram, OtherOrigin };
Requester requester_of(const AccessPolicy &policy, bool has_origin, const std::string &origin,
                       const std::string &sec_fetch_site);

// Whose event streams carry card data. The user behind the connection, as
// the kernel tells it, decides (`user_receives_cards`: the user at the seat
// or one of events-allow-users); the headers can only narrow that: a page
// of an origin other than the kit's own and those of event_origins gets no
// card data. Everyone else hears "card-present" and may ask.
bool receives_cards(const AccessPolicy &policy, bool user_receives_cards, Requester requester,
                    const std::string &origin);

// True when no token is set, or `authorization` is "Bearer <token>", or
// (for EventSource, which cannot send headers) `query_token` is the token.
// The comparison takes the same time wherever the texts differ.
bool token_accepted(const AccessPolicy &policy, const std::string &authorization,
                    const std::string &query_token);

// The request headers a preflight may ask for: a comma-separated list,
// any case. True when each is Authorization or Content-Type.
bool preflight_headers_allowed(const std::string &requested);

} // namespace vessikd

#endif
