// SPDX-License-Identifier: LGPL-2.1-or-later
// vessikd's HTTP service (see service.h).
#include "service.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>

#include "card_json.h"
#include "card_memory.h"
#include "photo_decoder_probe.h"
#include "portrait_png.h"
#include "www_assets.h"

#ifndef VESSIK_VERSION
#define VESSIK_VERSION "unknown"
#endif

namespace vessikd {

namespace {

using Json = vessik_tools::Json;
using httplib::Request;
using httplib::Response;
using Handled = httplib::Server::HandlerResponse;

constexpr int kHttpOk = 200;
constexpr int kHttpNoContent = 204;
constexpr int kHttpBadRequest = 400;
constexpr int kHttpUnauthorized = 401;
constexpr int kHttpForbidden = 403;
constexpr int kHttpNotFound = 404;
constexpr int kHttpRequestTimeout = 408;
constexpr int kHttpMethodNotAllowed = 405;
constexpr int kHttpConflict = 409;
constexpr int kHttpPayloadTooLarge = 413;
constexpr int kHttpUriTooLong = 414;
constexpr int kHttpHeadersTooLarge = 431;
constexpr int kHttpInternalError = 500;
constexpr int kHttpNotImplemented = 501;
constexpr int kHttpBadGateway = 502;
constexpr int kHttpUnavailable = 503;
constexpr int kHttpGatewayTimeout = 504;

// Comments on an idle stream: they keep proxies from closing it, and a
// failed write is how a stream whose page has gone is noticed.
constexpr auto kStreamHeartbeat = std::chrono::milliseconds(2000);
constexpr unsigned kStreamRetryMs = 2000;
constexpr int kPreflightMaxAgeS = 600;
// Threads for requests that end quickly, beside one per event stream.
constexpr unsigned kRequestThreads = 8;
// Where the kernel cannot say who a connection comes from.
constexpr uid_t kUnknownUid = static_cast<uid_t>(-1);
// The stream-limit key of the kit's own page, which no Origin can spell.
constexpr const char *kOwnPageKey = "own page";
constexpr int kKeepAliveMaxCount = 100;
// httplib lets an idle connection out only at the end of its keep-alive
// wait, even while the server stops: keep it short so a stop is quick.
constexpr time_t kKeepAliveTimeoutS = 1;
constexpr time_t kReadTimeoutS = 2;
constexpr time_t kWriteTimeoutS = 2;
constexpr size_t kPhotoBytes = sizeof(vessik_card::photo);

constexpr const char *kJsonType = "application/json";
constexpr const char *kPageSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

struct Route {
    const char *path;
    const char *method; // GET also answers HEAD
    bool api;           // asks for the token
};
const Route kRoutes[] = {
    {"/", "GET", false},          {"/app.js", "GET", false},
    {"/style.css", "GET", false}, {"/favicon.svg", "GET", false},
    {"/v1/status", "GET", true},  {"/v1/read", "POST", true},
    {"/v1/events", "GET", true},  {"/v1/photo", "POST", true},
    {"/v1/readers", "GET", true}, {"/v1/openapi.json", "GET", false},
};
// A read on one reader: /v1/readers/ID/read, ID its location (a serial
// one's slashes written %2F or as they are).
const Route kReaderReadRoute = {"/v1/readers/ID/read", "POST", true};
constexpr const char *kReaderPathStart = "/v1/readers/";
constexpr const char *kReaderReadEnd = "/read";
constexpr const char *kReaderReadPattern = R"(/v1/readers/(.+)/read)";

bool is_reader_read_path(const std::string &path)
{
    const std::string start = kReaderPathStart;
    const std::string end = kReaderReadEnd;
    return path.size() > start.size() + end.size() && path.compare(0, start.size(), start) == 0 &&
           path.compare(path.size() - end.size(), end.size(), end) == 0;
}

const Route *find_route(const std::string &path)
{
    for (const Route &r : kRoutes) {
        if (path == r.path)
            return &r;
    }
    return is_reader_read_path(path) ? &kReaderReadRoute : nullptr;
}

// A read's options from the body or the query: the deadline, and whether
// the fingerprints and the appended address are wanted.
struct ReadFields {
    unsigned deadline_ms = 0;
    bool fingerprints = false;
    bool appended_address = false;
};

const char *const kReadFieldNames = "deadline_ms, fingerprints, appended_address";

bool route_allows(const Route &route, const std::string &method)
{
    return method == route.method || (method == "HEAD" && std::strcmp(route.method, "GET") == 0);
}

void send_json(Response &res, int status, const Json &body)
{
    res.status = status;
    res.set_content(vessik_tools::json_text(body), kJsonType);
}

void send_error(Response &res, int status, const std::string &error, const std::string &message)
{
    send_json(res, status, Json{{"error", error}, {"message", message}});
}

// The answer to a vessik_read result other than a card.
void send_read_error(Response &res, int code)
{
    struct Mapping {
        int code;
        int status;
        const char *error;
    };
    static const Mapping kMappings[] = {
        {VESSIK_E_TIMEOUT, kHttpGatewayTimeout, "timeout"},
        {VESSIK_E_CANCELLED, kHttpUnavailable, "cancelled"},
        {VESSIK_E_NO_READER, kHttpUnavailable, "no-reader"},
        {VESSIK_E_READER_LOST, kHttpUnavailable, "reader-lost"},
        {VESSIK_E_BUSY, kHttpConflict, "busy"},
        {VESSIK_E_READER_IN_USE, kHttpUnavailable, "reader-in-use"},
        {VESSIK_E_ACCESS, kHttpUnavailable, "no-access"},
    };
    int status = kHttpInternalError;
    const char *error = "internal";
    for (const Mapping &m : kMappings) {
        if (m.code == code) {
            status = m.status;
            error = m.error;
        }
    }
    send_json(res, status,
              Json{{"error", error}, {"message", vessik_strerror(code)}, {"code", code}});
}

// An error for a status that httplib answered on its own.
void send_status_error(Response &res)
{
    struct Mapping {
        int status;
        const char *error;
        const char *message;
    };
    static const Mapping kMappings[] = {
        {kHttpBadRequest, "bad-request", "the request could not be read"},
        {kHttpNotFound, "not-found", "no such resource"},
        {kHttpRequestTimeout, "timeout", "the request took too long to arrive"},
        {kHttpPayloadTooLarge, "too-large", "the request is larger than this service accepts"},
        {kHttpUriTooLong, "uri-too-long", "the request line is too long"},
        {kHttpHeadersTooLarge, "too-large",
         "the request's headers are larger than this service accepts"},
    };
    for (const Mapping &m : kMappings) {
        if (m.status == res.status) {
            send_error(res, m.status, m.error, m.message);
            return;
        }
    }
    const bool server_side = res.status >= kHttpInternalError;
    send_error(res, res.status, server_side ? "internal" : "refused",
               server_side ? "internal error" : "request refused");
}

// A file built into the binary: the page's, or the API's document.
void send_asset(const Request &req, Response &res)
{
    const WwwAsset *asset = find_www_asset(req.path);
    if (asset == nullptr) {
        send_error(res, kHttpNotFound, "not-found", "no such page");
        return;
    }
    res.set_content(reinterpret_cast<const char *>(asset->data), asset->size, asset->content_type);
}

// The body of a request that may be empty: a JSON object, or null.
bool body_object(const Request &req, Json &body, Response &res)
{
    body = Json::object();
    if (req.body.empty())
        return true;
    body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        send_error(res, kHttpBadRequest, "bad-request", "the body must be a JSON object");
        return false;
    }
    return true;
}

// The params a read takes. httplib reads a body labelled a form into the
// params beside the query's; a local program's body (no Origin) is JSON
// whatever its label says (curl labels one a form), so its params are the
// query's alone. A page's form stays a form, refused for its fields.
httplib::Params read_params(const Request &req)
{
    constexpr const char *kFormType = "application/x-www-form-urlencoded";
    if (req.has_header("Origin") || req.get_header_value("Content-Type").rfind(kFormType, 0) != 0)
        return req.params;
    httplib::Params params;
    const size_t query = req.target.find('?');
    if (query != std::string::npos)
        httplib::detail::parse_query_text(req.target.substr(query + 1), params);
    return params;
}

// A user's name as it may be logged, or empty for a user without one.
std::string login_name(uid_t uid)
{
    constexpr size_t kPasswdBytes = 4096;
    passwd entry{};
    passwd *found = nullptr;
    char buffer[kPasswdBytes];
    if (getpwuid_r(uid, &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr)
        return loggable(found->pw_name);
    return std::string();
}

// "1001 (alice)", or the number alone for a user without a name.
std::string user_text(uid_t uid)
{
    const std::string name = login_name(uid);
    return std::to_string(uid) + (name.empty() ? std::string() : " (" + name + ")");
}

// A user's name, or its number when it has none.
std::string user_name(uid_t uid)
{
    const std::string name = login_name(uid);
    return name.empty() ? std::to_string(uid) : name;
}

// "@name" for a group, as the settings write it.
std::string group_name(gid_t gid)
{
    constexpr size_t kGroupBytes = 16384;
    group entry{};
    group *found = nullptr;
    char buffer[kGroupBytes];
    if (getgrgid_r(gid, &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr)
        return "@" + loggable(found->gr_name);
    return "@" + std::to_string(gid);
}

// `first`, then the items of `then` not in it.
std::vector<std::string> joined(std::vector<std::string> first,
                                const std::vector<std::string> &then)
{
    for (const std::string &item : then) {
        if (std::find(first.begin(), first.end(), item) == first.end())
            first.push_back(item);
    }
    return first;
}

// Users and groups as the settings name them: a user's name, @group.
std::vector<std::string> user_names(const std::vector<uid_t> &users,
                                    const std::vector<gid_t> &groups)
{
    std::vector<std::string> names;
    for (const uid_t uid : users)
        names.push_back(user_name(uid));
    for (const gid_t gid : groups)
        names.push_back(group_name(gid));
    return joined({}, names);
}

std::string peer_text(const Peer &peer)
{
    return peer.known ? "uid " + std::to_string(peer.uid) : std::string("an unknown user");
}

std::string sse_event(const Event &event)
{
    return "event: " + event.name + "\ndata: " + event.data + "\n\n";
}

// The address and port a socket is bound to, as a URL's host part
// ("127.0.0.1:19904", "[::1]:19904"); false unless it is a loopback one.
bool loopback_name(int sock, std::string &host, bool &ipv6, int &port)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return false;
    char text[INET6_ADDRSTRLEN] = "";
    ipv6 = addr.ss_family == AF_INET6;
    if (addr.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(addr);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof(text));
        port = ntohs(v4.sin_port);
    } else if (ipv6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(addr);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof(text));
        port = ntohs(v6.sin6_port);
    } else {
        return false;
    }
    if (!is_loopback_address(text))
        return false;
    host = (ipv6 ? "[" + std::string(text) + "]" : std::string(text)) + ":" + std::to_string(port);
    return true;
}

// The sockets systemd opened for vessikd.socket, when it started us for
// them (and never for a program we start ourselves).
std::vector<int> inherited_sockets()
{
    std::vector<int> sockets;
    const int count = sd_listen_fds(1);
    for (int i = 0; i < count; ++i)
        sockets.push_back(SD_LISTEN_FDS_START + i);
    return sockets;
}

} // namespace

Service::Service(const Config &config)
    : config_(config), users_(UserList{config.allowed_users, config.allowed_groups},
                              UserList{config.event_users, config.event_groups}),
      limits_(config.max_event_streams + kRequestThreads), hub_(config.max_event_streams),
      readers_(
          config.serial_readers,
          RegistryHooks{
              [this](const std::string &id, const vessik_card &card) {
                  // Events say which reader: the card's object ends with it.
                  Json card_json = vessik_tools::card_to_json(card);
                  card_json["reader"] = id;
                  hub_.publish_card(vessik_tools::json_text(card_json),
                                    vessik_tools::json_text(Json{{"reader", id}}), id);
              },
              [this](const std::string &id) {
                  hub_.publish("card-removed", vessik_tools::json_text(Json{{"reader", id}}), id);
              },
              // With card events off nothing watches: the reader is read on request only.
              [this] { return config_.card_events && hub_.streams() > 0; },
              [this](const std::string &id, bool present) {
                  hub_.publish("reader",
                               vessik_tools::json_text(Json{{"present", present}, {"reader", id}}),
                               id);
              },
              config.answer_driven})
{
    policy_.allowed_origins = config.allowed_origins;
    policy_.event_origins = config.event_origins;
    policy_.token = config.token;
    hub_.set_count_listener([this] { readers_.wake_all(); });
}

// Every connection first: the user behind it must be one this computer
// trusts with cards, decided before anything is counted, and may hold only
// so many workers; the others are refused from a budget of their own.
Admission Service::opened(const Peer &peer)
{
    const uid_t uid = peer.known ? peer.uid : kUnknownUid;
    const bool admitted = peer.known && users_.admitted(uid);
    const Admission admission =
        limits_.take(uid, admitted, peer.known && LocalUsers::is_admin(uid));
    if (!peer.known && admission != Admission::Serve)
        refusals_.refused("refused a connection whose user the kernel could not tell");
    else if (!admitted && admission != Admission::Serve)
        refusals_.refused("refused user " + user_text(uid) +
                          ": not at the seat, not in allow-users");
    else if (admission != Admission::Serve)
        refusals_.refused("refused: limits: too many connections from " + peer_text(peer));
    return admission;
}

void Service::closed(const Peer &peer, Admission admission)
{
    const uid_t uid = peer.known ? peer.uid : kUnknownUid;
    limits_.give_back(uid, admission, peer.known && LocalUsers::is_admin(uid));
}

bool Service::start(std::vector<std::string> &urls, std::string &error)
{
    const std::vector<int> inherited = inherited_sockets();
    if (!(inherited.empty() ? bind_listeners(error) : adopt_listeners(inherited, error))) {
        listeners_.clear();
        return false;
    }
    add_own_names(policy_, own_host_names());
    for (const Listener &l : listeners_)
        urls.push_back("http://" + l.host);

    readers_.start();
    for (Listener &l : listeners_)
        threads_.emplace_back([s = l.server.get()] { s->listen_after_bind(); });
    return true;
}

std::unique_ptr<BoundedServer> Service::make_server()
{
    auto server = std::make_unique<BoundedServer>();
    set_up(*server);
    server->set_connection_gate(this);
    return server;
}

bool Service::add_listener(std::unique_ptr<BoundedServer> server, std::string &error)
{
    Listener l;
    if (!loopback_name(server->listening_socket(), l.host, l.ipv6, l.port)) {
        error = "a listening socket is not on the loopback interface";
        return false;
    }
    // httplib listens with a queue of 5: a burst of connections, one
    // client's say, would overflow it, and every connection behind them
    // would wait a second for the kernel to resend its SYN.
    listen(server->listening_socket(), SOMAXCONN);
    l.server = std::move(server);
    listeners_.push_back(std::move(l));
    return true;
}

bool Service::bind_listeners(std::string &error)
{
    int port = config_.port;
    for (const std::string &address : config_.listen) {
        auto server = make_server();
        bool bound = false;
        if (port == 0) {
            port = server->bind_to_any_port(address);
            bound = port > 0;
        } else {
            bound = server->bind_to_port(address, port);
        }
        const int why = errno;
        if (port <= 0)
            port = config_.port;
        const bool ipv6 = address.find(':') != std::string::npos;
        if (!bound) {
            const std::string host = ipv6 ? "[" + address + "]" : address;
            const std::string what =
                "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(why);
            // A host without IPv6 has no ::1, so nobody else can answer there
            // either; an address in use is another program's, and serving
            // beside it would hand it the clients (and tokens) meant for us.
            if (config_.listen_is_default && ipv6 && !listeners_.empty() &&
                (why == EADDRNOTAVAIL || why == EAFNOSUPPORT)) {
                std::fprintf(stderr, "vessikd: %s (skipped)\n", what.c_str());
                ipv6_absent_ = true;
                continue;
            }
            error = what;
            return false;
        }
        if (!add_listener(std::move(server), error))
            return false;
    }
    return true;
}

bool Service::adopt_listeners(const std::vector<int> &sockets, std::string &error)
{
    for (const int sock : sockets) {
        if (sd_is_socket_inet(sock, AF_UNSPEC, SOCK_STREAM, 1, 0) <= 0) {
            error =
                "socket " + std::to_string(sock) + " from systemd is not a listening TCP socket";
            return false;
        }
        auto server = make_server();
        server->adopt_listening_socket(sock);
        if (!add_listener(std::move(server), error))
            return false;
    }
    return true;
}

// The names this service answers to: the addresses it holds, and
// "localhost" where it holds every address that name leads to.
std::vector<std::string> Service::own_host_names() const
{
    std::vector<std::string> hosts;
    for (const Listener &l : listeners_) {
        hosts.push_back(l.host);
        if (l.ipv6)
            continue;
        bool has_ipv6_twin = ipv6_absent_;
        for (const Listener &other : listeners_)
            has_ipv6_twin = has_ipv6_twin || (other.ipv6 && other.port == l.port);
        if (has_ipv6_twin)
            hosts.push_back("localhost:" + std::to_string(l.port));
    }
    return hosts;
}

void Service::stop()
{
    hub_.close();
    readers_.stop();
    for (Listener &l : listeners_)
        l.server->stop();
    for (std::thread &t : threads_)
        t.join();
    threads_.clear();
    listeners_.clear();
}

void Service::set_up(httplib::Server &server)
{
    const unsigned threads = config_.max_event_streams + kRequestThreads;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_payload_max_length(config_.max_request_bytes);
    server.set_keep_alive_max_count(kKeepAliveMaxCount);
    server.set_keep_alive_timeout(kKeepAliveTimeoutS);
    server.set_read_timeout(kReadTimeoutS);
    server.set_write_timeout(kWriteTimeoutS);
    // Headers and body go out as separate writes; without this each answer
    // waits on the peer's delayed acknowledgement (40 ms here).
    server.set_tcp_nodelay(true);
    // SO_REUSEADDR for a quick restart, but not httplib's SO_REUSEPORT, which
    // would let a second vessikd share the port and the reader unnoticed.
    server.set_socket_options([](int sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    server.set_pre_routing_handler(
        [this](const Request &req, Response &res) -> Handled { return check_request(req, res); });
    server.set_post_routing_handler(
        [this](const Request &req, Response &res) { finish_response(req, res); });
    server.set_error_handler(
        httplib::Server::HandlerWithResponse([this](const Request &, Response &res) {
            if (!res.body.empty())
                return Handled::Unhandled;
            // httplib answers 400 for a request it could not read; one cut
            // off at its bound gets the answer that says so.
            const char *limit = nullptr;
            switch (BoundedServer::request_overrun()) {
            case BoundedServer::Overrun::Head:
                res.status = kHttpHeadersTooLarge;
                limit = "headers too large";
                break;
            case BoundedServer::Overrun::Body:
                res.status = kHttpPayloadTooLarge;
                limit = "body too large";
                break;
            case BoundedServer::Overrun::HeadTime:
            case BoundedServer::Overrun::BodyTime:
                res.status = kHttpRequestTimeout;
                limit = "request too slow to arrive";
                break;
            case BoundedServer::Overrun::None:
                break;
            }
            if (limit != nullptr)
                refusals_.refused(std::string("refused: limits: ") + limit + " from " +
                                  peer_text(BoundedServer::peer()));
            send_status_error(res);
            return Handled::Handled;
        }));
    server.set_exception_handler([](const Request &, Response &res, std::exception_ptr) {
        send_error(res, kHttpInternalError, "internal", "internal error");
    });

    server.Get("/v1/status",
               [this](const Request &req, Response &res) { handle_status(req, res); });
    server.Post("/v1/read", [this](const Request &req, Response &res) {
        handle_read(req, res, std::string());
    });
    server.Get("/v1/readers",
               [this](const Request &req, Response &res) { handle_readers(req, res); });
    server.Post(kReaderReadPattern, [this](const Request &req, Response &res) {
        handle_read(req, res, req.matches[1].str());
    });
    server.Post("/v1/photo", [this](const Request &req, Response &res) { handle_photo(req, res); });
    server.Get("/v1/events",
               [this](const Request &req, Response &res) { handle_events(req, res); });
    // The API's document asks for no token: it holds no card data.
    server.Get("/v1/openapi.json", [](const Request &req, Response &res) { send_asset(req, res); });
    server.Get("/(|app\\.js|style\\.css|favicon\\.svg)",
               [](const Request &req, Response &res) { send_asset(req, res); });
}

// Runs before routing, for every request: Host, then Origin, then the
// preflight, the method and the token. A refusal answers the request.
Handled Service::check_request(const Request &req, Response &res) const
{
    if (!host_allowed(policy_, req.has_header("Host"), req.get_header_value("Host"))) {
        send_error(res, kHttpForbidden, "forbidden-host",
                   "this service answers only to 127.0.0.1, [::1] and localhost");
        return Handled::Handled;
    }
    const bool has_origin = req.has_header("Origin");
    if (check_origin(policy_, has_origin, req.get_header_value("Origin")) ==
        OriginVerdict::Refused) {
        const std::string origin = req.get_header_value("Origin");
        refusals_.refused("refused origin " + loggable(origin) +
                          (loopback_origin(origin) ? " (on this computer, not the kit's own page)"
                                                   : " (not on allow-origin)"));
        send_error(res, kHttpForbidden, "forbidden-origin", "this origin is not allowed");
        return Handled::Handled;
    }
    const Route *route = find_route(req.path);
    if (route == nullptr) {
        send_error(res, kHttpNotFound, "not-found", "no such resource");
        return Handled::Handled;
    }
    if (req.method == "OPTIONS") {
        res.status = kHttpNoContent;
        res.set_header("Allow", std::string(route->method) + ", OPTIONS");
        if (!has_origin)
            return Handled::Handled; // not a preflight
        if (!route_allows(*route, req.get_header_value("Access-Control-Request-Method")) ||
            !preflight_headers_allowed(req.get_header_value("Access-Control-Request-Headers"))) {
            send_error(res, kHttpForbidden, "forbidden-preflight",
                       "this method or these headers are not allowed here");
            return Handled::Handled;
        }
        res.set_header("Access-Control-Allow-Methods", route->method);
        res.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type");
        res.set_header("Access-Control-Max-Age", std::to_string(kPreflightMaxAgeS));
        // A public page calling this computer asks first (Private Network Access).
        if (req.get_header_value("Access-Control-Request-Private-Network") == "true")
            res.set_header("Access-Control-Allow-Private-Network", "true");
        return Handled::Handled;
    }
    if (!route_allows(*route, req.method)) {
        res.set_header("Allow", route->method);
        send_error(res, kHttpMethodNotAllowed, "method-not-allowed",
                   std::string("use ") + route->method);
        return Handled::Handled;
    }
    // EventSource cannot send headers, so the stream may carry the token in
    // its query.
    const std::string query_token =
        req.path == "/v1/events" ? req.get_param_value("access_token") : std::string();
    if (route->api &&
        !token_accepted(policy_, req.get_header_value("Authorization"), query_token)) {
        const bool sent = req.has_header("Authorization") || !query_token.empty();
        refusals_.refused(
            std::string(sent ? "refused: bad token from " : "refused: no token from ") +
            peer_text(BoundedServer::peer()));
        res.set_header("WWW-Authenticate", "Bearer realm=\"vessikd\"");
        send_error(res, kHttpUnauthorized, "unauthorized", "a valid bearer token is needed");
        return Handled::Handled;
    }
    return Handled::Unhandled;
}

// Runs on every answer, refusals and httplib's own errors included.
void Service::finish_response(const Request &req, Response &res) const
{
    const std::string origin = req.get_header_value("Origin");
    if (check_origin(policy_, req.has_header("Origin"), origin) == OriginVerdict::Allowed &&
        !res.has_header("Access-Control-Allow-Origin"))
        res.set_header("Access-Control-Allow-Origin", origin);
    res.set_header("Vary", "Origin");
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("X-Frame-Options", "DENY");
    if (res.get_header_value("Content-Type").rfind("text/html", 0) == 0)
        res.set_header("Content-Security-Policy", kPageSecurityPolicy);
}

Requester Service::requester(const Request &req) const
{
    return requester_of(policy_, req.has_header("Origin"), req.get_header_value("Origin"),
                        req.get_header_value("Sec-Fetch-Site"));
}

std::string Service::status_json(bool with_activity)
{
    const size_t readers = readers_.count();
    Json status{
        {"service", "vessikd"},
        {"version", VESSIK_VERSION},
        {"reader_present", readers > 0},
        {"readers", readers},
    };
    // Whether someone else is reading now is theirs to know, not a page's
    // of another origin.
    if (with_activity) {
        status["read_in_progress"] = readers_.client_read_active();
        status["watching"] = readers_.watching();
        status["event_streams"] = hub_.streams();
    }
    const vessik_tools::PhotoDecoderProbe decoder = vessik_tools::probe_photo_decoder();
    status["photo_decoder"] = decoder.file == nullptr ? "none"
                              : decoder.standin       ? "stand-in"
                                                      : "installed";
    if (with_activity)
        status["admits"] = admits_json();
    return vessik_tools::json_text(status);
}

// Whom the settings let in, beside the user at the seat (the doctor shows it).
Json Service::admits_json() const
{
    const std::vector<std::string> admins = joined({"root"}, {user_name(geteuid())});
    const std::vector<std::string> receivers =
        user_names(config_.event_users, config_.event_groups);
    const std::vector<std::string> users = joined(
        joined(admins, user_names(config_.allowed_users, config_.allowed_groups)), receivers);
    return Json{
        {"users", users},
        {"event_users", receivers},
        {"origins",
         joined(joined(policy_.own_origins, policy_.allowed_origins), policy_.event_origins)},
        {"event_origins", policy_.event_origins},
        {"token", !policy_.token.empty()},
        {"card_events", config_.card_events},
    };
}

void Service::handle_status(const Request &req, Response &res)
{
    res.set_content(status_json(requester(req) != Requester::OtherOrigin), kJsonType);
}

namespace {

// What a reader is doing, as a listing says it; another origin's page
// hears only whether it can be read.
const char *reader_state_name(const ReaderState &state, bool with_activity)
{
    if (!state.open_tried)
        return "opening";
    if (state.open_result != VESSIK_OK)
        return "unavailable";
    if (with_activity && state.client_read)
        return "reading";
    if (with_activity && state.watching)
        return "watching";
    return "ready";
}

// `local`: the kit's page or a local program, which may know the module's
// identifier; a page of another origin gets null in its place, as for a
// reader not yet opened (the identifier names the counter PC).
Json reader_json(const ReaderSummary &reader, bool local)
{
    const ReaderState &state = reader.state;
    const bool id_shown = local && !state.module_id_hex.empty();
    return Json{
        {"id", reader.id},
        {"transport", reader.transport == VESSIK_TRANSPORT_SERIAL ? "serial" : "usb"},
        {"location", reader.id},
        {"module_id", id_shown ? Json(state.module_id_hex) : Json(nullptr)},
        {"state", reader_state_name(state, local)},
        {"error", state.open_tried && state.open_result != VESSIK_OK
                      ? Json(vessik_strerror(state.open_result))
                      : Json(nullptr)},
    };
}

// A yes or no of the body (true, false) or of the query (1, 0, true, false).
bool flag_value(const Json &value, bool from_query, bool &flag)
{
    if (value.is_boolean()) {
        flag = value.get<bool>();
        return true;
    }
    if (!from_query || !value.is_string())
        return false;
    const std::string text = value.get<std::string>();
    if (text == "1" || text == "true" || text == "0" || text == "false") {
        flag = text == "1" || text == "true";
        return true;
    }
    return false;
}

// One field of a read request, from the body's JSON or the query's text;
// false with the answer sent for a bad one.
bool read_field(const std::string &key, const Json &value, bool from_query,
                unsigned max_deadline_ms, ReadFields &fields, Response &res)
{
    if (key == "fingerprints" || key == "appended_address") {
        bool &flag = key == "fingerprints" ? fields.fingerprints : fields.appended_address;
        if (flag_value(value, from_query, flag))
            return true;
        send_error(res, kHttpBadRequest, "bad-request", key + " must be true or false");
        return false;
    }
    if (key != "deadline_ms") {
        send_error(res, kHttpBadRequest, "bad-request",
                   "unknown field '" + key + "' (a read takes " + kReadFieldNames + ")");
        return false;
    }
    // The query's deadline comes as text; the body's must be a number.
    Json number = value;
    if (from_query)
        number = Json::parse(value.get<std::string>(), nullptr, false);
    if (!number.is_number_unsigned() || number.get<unsigned long long>() < 1 ||
        number.get<unsigned long long>() > max_deadline_ms) {
        send_error(res, kHttpBadRequest, "bad-request",
                   "deadline_ms must be a whole number from 1 to " +
                       std::to_string(max_deadline_ms));
        return false;
    }
    fields.deadline_ms = number.get<unsigned>();
    return true;
}

} // namespace

void Service::handle_readers(const Request &req, Response &res)
{
    const bool with_activity = requester(req) != Requester::OtherOrigin;
    Json list = Json::array();
    for (const ReaderSummary &reader : readers_.summaries())
        list.push_back(reader_json(reader, with_activity));
    send_json(res, kHttpOk, Json{{"readers", list}});
}

void Service::handle_read(const Request &req, Response &res, const std::string &id)
{
    Json body;
    if (!body_object(req, body, res))
        return;
    ReadFields fields;
    fields.deadline_ms = config_.read_deadline_ms;
    for (const auto &param : read_params(req)) {
        if (!read_field(param.first, Json(param.second), true, config_.max_deadline_ms, fields,
                        res))
            return;
    }
    for (const auto &item : body.items()) {
        if (!read_field(item.key(), item.value(), false, config_.max_deadline_ms, fields, res))
            return;
    }
    std::shared_ptr<ReaderWorker> reader = readers_.find(id);
    if (reader == nullptr) {
        // A read, unlike the status, may wait for a look at the bus: a
        // reader plugged in a moment ago is not refused for a stale list.
        readers_.scan();
        reader = readers_.find(id);
    }
    if (reader == nullptr && !id.empty()) {
        send_error(res, kHttpNotFound, "no-such-reader", "no reader '" + id + "' is served");
        return;
    }
    if (reader == nullptr) {
        send_read_error(res, VESSIK_E_NO_READER);
        return;
    }

    ReadRequest request;
    request.deadline_ms = fields.deadline_ms;
    request.fingerprints = fields.fingerprints;
    request.appended_address = fields.appended_address;
    vessik_card card;
    keep_out_of_swap(&card, sizeof(card));
    vessik_card_init(&card);
    // A page that gives up (navigates away, aborts its fetch) closes the
    // connection: its read is cancelled rather than holding the reader.
    const int code = reader->read(request, &card, [] { return BoundedServer::client_gone(); });
    if (code != VESSIK_OK) {
        send_read_error(res, code);
        return;
    }
    send_json(res, kHttpOk, vessik_tools::card_to_json(card));
    explicit_bzero(&card, sizeof(card));
}

void Service::handle_photo(const Request &req, Response &res)
{
    Json body;
    if (!body_object(req, body, res))
        return;
    std::vector<unsigned char> photo;
    const auto field = body.find("photo");
    if (body.size() != 1 || field == body.end() || !field->is_string() ||
        !vessik_tools::base64_decode(field->get<std::string>(), photo) ||
        photo.size() != kPhotoBytes) {
        send_error(res, kHttpBadRequest, "bad-request",
                   "the body must be {\"photo\": the card's photo in base64, " +
                       std::to_string(kPhotoBytes) + " bytes}");
        return;
    }
    // The PNG string is wiped when freed (wipe_on_free.cpp).
    std::string png;
    std::string why;
    switch (vessik_tools::portrait_png(photo.data(), png, why)) {
    case vessik_tools::Portrait::Png:
        res.set_content(png, "image/png");
        return;
    case vessik_tools::Portrait::NoDecoder:
        send_error(res, kHttpNotImplemented, "no-decoder",
                   "no photo decoder is installed (the kit's stand-in is in place)");
        return;
    case vessik_tools::Portrait::NoPngWriter:
        send_error(res, kHttpNotImplemented, "no-png-writer", "the photo was decoded, but " + why);
        return;
    case vessik_tools::Portrait::Failed:
        send_error(res, kHttpBadGateway, "decode-failed", why);
        return;
    case vessik_tools::Portrait::NoMemory:
        send_error(res, kHttpInternalError, "internal", why);
        return;
    }
}

void Service::handle_events(const Request &req, Response &res)
{
    const Requester from = requester(req);
    const std::string origin = req.get_header_value("Origin");
    const Peer peer = BoundedServer::peer();
    StreamOwner owner;
    owner.uid = peer.uid;
    owner.origin = from == Requester::OwnPage ? kOwnPageKey : origin;
    owner.receives_cards =
        receives_cards(policy_, peer.known && users_.receives_cards(peer.uid), from, origin);
    // ?reader=ID: one reader's events only (it need not be plugged in yet).
    owner.reader = req.get_param_value("reader");
    const int id = hub_.subscribe(owner);
    if (id < 0) {
        refusals_.refused("refused: limits: too many event streams for " + peer_text(peer));
        send_error(res, kHttpUnavailable, "too-many-streams",
                   "the most event streams allowed (in all, for this user or for this origin) "
                   "are open");
        return;
    }
    const bool with_activity = from != Requester::OtherOrigin;
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, id, with_activity](size_t offset, httplib::DataSink &sink) {
            if (offset == 0) {
                // The state first, so a page needs no separate status call.
                const std::string hello = "retry: " + std::to_string(kStreamRetryMs) + "\n\n" +
                                          sse_event(Event{"status", status_json(with_activity)});
                return sink.write(hello.data(), hello.size());
            }
            std::vector<Event> events;
            if (!hub_.next(id, events, kStreamHeartbeat)) {
                sink.done(); // the service is stopping
                return true;
            }
            std::string text = events.empty() ? std::string(": keep-alive\n\n") : std::string();
            for (const Event &e : events)
                text += sse_event(e);
            return sink.write(text.data(), text.size());
        },
        [this, id](bool) { hub_.unsubscribe(id); });
}

} // namespace vessikd
