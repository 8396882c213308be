// Who may talk to vessikd: the Host a request names (against DNS
// rebinding), the Origin a browser sends (against other web pages), and the
// bearer token. Pure functions of the request's header values.
#ifndef VESSIKD_ACCESS_POLICY_H
#define VESSIKD_ACCESS_POLICY_H

#include <string>
#include <vector>

namespace vessikd {

// What requests are checked against, from the settings.
struct AccessPolicy {
    std::vector<std::string> allowed_origins; // normalised, see normalise_origin
    std::vector<std::string> allowed_hosts;   // lower-case host:port
    std::string token;                        // empty: none asked for
};

// The service's own names on `port` become allowed hosts, and its own
// origins (the page it serves) allowed origins.
void add_own_names(AccessPolicy &policy, int port);

// A request without Host comes from no browser, so it is let through.
bool host_allowed(const AccessPolicy &policy, bool has_host, const std::string &host);

// NoOrigin: the request sends none; otherwise whether allowed_origins holds it.
enum class OriginVerdict { NoOrigin, Allowed, Refused };
OriginVerdict check_origin(const AccessPolicy &policy, bool has_origin, const std::string &origin);

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
