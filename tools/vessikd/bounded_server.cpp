// SPDX-License-Identifier: LGPL-2.1-or-later
// An httplib server that bounds what one request may make it read (see
// bounded_server.h).
#include "bounded_server.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "peer_credentials.h"

namespace vessikd {

namespace {

// Bytes taken from the socket at a time; httplib reads request lines one
// byte at a time, which must not cost a system call each.
constexpr size_t kReadBufferBytes = 4096;
// How often a connection waiting for its next request looks at whether the
// server is stopping.
constexpr int kIdleSliceMs = 10;
// Room for a chunked body's size lines and trailers beside its payload.
constexpr size_t kChunkFramingBytes = 4096;
// How long and how much a connection cut off at its bound is drained (a
// refused one is drained of what has arrived, without waiting).
constexpr int kLingerMs = 500;
constexpr size_t kLingerMaxBytes = 1 << 20;
constexpr char kHeadEnd[] = "\r\n\r\n";
constexpr size_t kHeadEndBytes = sizeof(kHeadEnd) - 1;
// The header lines that say a body follows; without one there is none.
const char *const kBodyHeaders[] = {"content-length:", "transfer-encoding:"};
// Enough of a header line to tell those apart.
constexpr size_t kHeaderNameBytes = 20;

thread_local BoundedServer::Overrun t_overrun = BoundedServer::Overrun::None;
thread_local int t_socket = -1; // the connection this thread serves
thread_local Peer t_peer;

// The bodies of the answers sent without reading the request: to a user who
// may not use the service, and to one who holds too many connections already.
constexpr char kForbiddenBody[] =
    "{\"error\":\"forbidden-user\",\"message\":\"this user may not use the reader service\"}";
constexpr char kTooManyBody[] = "{\"error\":\"too-many-connections\",\"message\":\"this user has "
                                "too many connections open\"}";

int to_ms(time_t sec, time_t usec)
{
    return static_cast<int>(sec * 1000 + usec / 1000);
}

bool wait_for(int sock, short events, int timeout_ms)
{
    pollfd p{sock, events, 0};
    int rc = 0;
    do {
        rc = poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
}

void address_of(int sock, bool peer, std::string &ip, int &port)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    auto *sa = reinterpret_cast<sockaddr *>(&addr);
    const int rc = peer ? getpeername(sock, sa, &len) : getsockname(sock, sa, &len);
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    if (rc != 0 || getnameinfo(sa, len, host, sizeof(host), service, sizeof(service),
                               NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return;
    ip = host;
    port = std::atoi(service);
}

// A socket stream that hands httplib at most a head's and a body's worth of
// bytes for each request, then reads as a failed socket would.
class BoundedStream : public httplib::Stream {
  public:
    BoundedStream(int sock, int read_timeout_ms, int write_timeout_ms, size_t max_body)
        : sock_(sock), read_timeout_ms_(read_timeout_ms), write_timeout_ms_(write_timeout_ms),
          max_body_(max_body)
    {
    }

    using httplib::Stream::write;

    // A new request begins: its head is counted afresh.
    void next_request()
    {
        head_deadline_ =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(BoundedServer::kMaxHeadMs);
        in_head_ = true;
        head_end_matched_ = 0;
        taken_ = 0;
        line_start_.clear();
        has_body_ = false;
        t_overrun = BoundedServer::Overrun::None;
    }

    bool has_buffered() const { return start_ < end_; }

    bool is_readable() const override
    {
        return has_buffered() || wait_for(sock_, POLLIN, read_timeout_ms_);
    }

    bool is_writable() const override { return wait_for(sock_, POLLOUT, write_timeout_ms_); }

    ssize_t read(char *ptr, size_t size) override
    {
        if (t_overrun != BoundedServer::Overrun::None)
            return -1;
        const auto now = std::chrono::steady_clock::now();
        if (in_head_ && now > head_deadline_) {
            t_overrun = BoundedServer::Overrun::HeadTime;
            return -1;
        }
        if (!in_head_ && now > body_deadline_) {
            t_overrun = BoundedServer::Overrun::BodyTime;
            return -1;
        }
        // httplib reads a POST without a length until the connection ends
        // (curl -X POST sends none); such a request has no body at all.
        if (!in_head_ && !has_body_)
            return 0;
        if (!has_buffered() && !fill())
            return -1;
        size_t n = std::min(size, end_ - start_);
        n = std::min(n, room());
        if (n == 0) {
            t_overrun = in_head_ ? BoundedServer::Overrun::Head : BoundedServer::Overrun::Body;
            return -1;
        }
        std::memcpy(ptr, buffer_ + start_, n);
        start_ += n;
        take(ptr, n);
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        if (!is_writable())
            return -1;
        ssize_t n = 0;
        do {
            n = send(sock_, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        address_of(sock_, true, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        address_of(sock_, false, ip, port);
    }
    int socket() const override { return sock_; }

  private:
    size_t room() const
    {
        const size_t bound =
            in_head_ ? BoundedServer::kMaxHeadBytes : max_body_ + kChunkFramingBytes;
        return taken_ < bound ? bound - taken_ : 0;
    }

    // Counts what httplib takes, and notices where the head ends: httplib
    // reads the head a byte at a time, so nothing of the body is counted
    // with it.
    void take(const char *ptr, size_t n)
    {
        for (size_t i = 0; i < n && in_head_; ++i) {
            ++taken_;
            note_header_byte(ptr[i]);
            head_end_matched_ = ptr[i] == kHeadEnd[head_end_matched_] ? head_end_matched_ + 1
                                : ptr[i] == kHeadEnd[0]               ? 1
                                                                      : 0;
            if (head_end_matched_ == kHeadEndBytes) {
                in_head_ = false;
                body_deadline_ = std::chrono::steady_clock::now() +
                                 std::chrono::milliseconds(BoundedServer::kMaxBodyMs);
                taken_ = 0;
                n -= i + 1;
                break;
            }
        }
        if (!in_head_)
            taken_ += n;
    }

    // Keeps the start of the header line being read, and at its end
    // whether it says a body follows.
    void note_header_byte(char c)
    {
        if (c == '\n') {
            for (const char *name : kBodyHeaders)
                has_body_ = has_body_ || line_start_.rfind(name, 0) == 0;
            line_start_.clear();
        } else if (line_start_.size() < kHeaderNameBytes) {
            line_start_ += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }

    bool fill()
    {
        if (!wait_for(sock_, POLLIN, read_timeout_ms_))
            return false;
        ssize_t n = 0;
        do {
            n = recv(sock_, buffer_, sizeof(buffer_), 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            return false;
        start_ = 0;
        end_ = static_cast<size_t>(n);
        return true;
    }

    const int sock_;
    const int read_timeout_ms_;
    const int write_timeout_ms_;
    const size_t max_body_;
    char buffer_[kReadBufferBytes];
    size_t start_ = 0;
    size_t end_ = 0;
    bool in_head_ = true;
    std::chrono::steady_clock::time_point head_deadline_;
    std::chrono::steady_clock::time_point body_deadline_;
    size_t head_end_matched_ = 0;
    size_t taken_ = 0;
    std::string line_start_;
    bool has_body_ = false;
};

// A socket closed with unread bytes resets the connection, and the reset
// can overtake the answer on its way to the client. After a request cut off
// at its bound, what the client is still sending is read and dropped for a
// little while, so that it sees the 431 or 413 rather than a reset.
void linger_then_close(int sock, int linger_ms)
{
    shutdown(sock, SHUT_WR);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(linger_ms);
    char sink[kReadBufferBytes];
    for (size_t dropped = 0; dropped < kLingerMaxBytes;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            give_up - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !wait_for(sock, POLLIN, static_cast<int>(left.count())))
            return;
        const ssize_t n = recv(sock, sink, sizeof(sink), 0);
        if (n <= 0)
            return;
        dropped += static_cast<size_t>(n);
    }
}

// What the client has sent by now is read and dropped, without waiting:
// a socket closed with unread bytes resets the connection, and the reset
// could overtake the answer.
void drop_what_arrived(int sock)
{
    char sink[kReadBufferBytes];
    for (size_t dropped = 0; dropped < kLingerMaxBytes;) {
        const ssize_t n = recv(sock, sink, sizeof(sink), MSG_DONTWAIT);
        if (n <= 0)
            return;
        dropped += static_cast<size_t>(n);
    }
}

// A refusal, answered without reading the request and sent once, without
// waiting for it to land or lingering: a client that opens connection after
// connection must not hold workers with them.
void refuse(int sock, Admission why)
{
    if (why == Admission::Dropped)
        return;
    const bool forbidden = why == Admission::Forbidden;
    const std::string body = forbidden ? kForbiddenBody : kTooManyBody;
    const std::string answer =
        std::string(forbidden ? "HTTP/1.1 403 Forbidden" : "HTTP/1.1 503 Service Unavailable") +
        "\r\nContent-Type: application/json\r\nCache-Control: no-store\r\nConnection: close\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    send(sock, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(sock, SHUT_WR);
    drop_what_arrived(sock);
}

Peer peer_of(int sock)
{
    Peer peer;
    peer.known = peer_uid(sock, peer.uid);
    return peer;
}

} // namespace

BoundedServer::Overrun BoundedServer::request_overrun()
{
    return t_overrun;
}

bool BoundedServer::client_gone()
{
    if (t_socket < 0)
        return false;
    pollfd p{t_socket, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

Peer BoundedServer::peer()
{
    return t_peer;
}

// The keep-alive loop of httplib's own, over the bounded stream, for a
// connection the gate lets in.
bool BoundedServer::process_and_close_socket(int sock)
{
    t_peer = peer_of(sock);
    const Admission admission = gate_ != nullptr ? gate_->opened(t_peer) : Admission::Serve;
    if (admission != Admission::Serve) {
        refuse(sock, admission);
        close(sock);
        gate_->closed(t_peer, admission);
        t_peer = Peer();
        return false;
    }
    const bool ok = serve_connection(sock);
    if (gate_ != nullptr)
        gate_->closed(t_peer, admission);
    t_peer = Peer();
    return ok;
}

bool BoundedServer::serve_connection(int sock)
{
    BoundedStream stream(sock, to_ms(read_timeout_sec_, read_timeout_usec_),
                         to_ms(write_timeout_sec_, write_timeout_usec_), payload_max_length_);
    t_socket = sock;
    bool ok = false;
    for (size_t left = keep_alive_max_count_; left > 0; --left) {
        // Wait for the next request while the server runs, up to the
        // keep-alive time.
        const auto give_up =
            std::chrono::steady_clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
        bool ready = stream.has_buffered();
        while (!ready && svr_sock_ != INVALID_SOCKET && std::chrono::steady_clock::now() < give_up)
            ready = wait_for(sock, POLLIN, kIdleSliceMs);
        if (!ready || svr_sock_ == INVALID_SOCKET)
            break;
        stream.next_request();
        bool closed = false;
        ok = process_request(stream, left == 1, closed, nullptr);
        if (!ok || closed || request_overrun() != Overrun::None)
            break;
    }
    if (t_overrun != Overrun::None)
        linger_then_close(sock, kLingerMs);
    t_overrun = Overrun::None;
    t_socket = -1;
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return ok;
}

} // namespace vessikd
