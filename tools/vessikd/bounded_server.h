// SPDX-License-Identifier: LGPL-2.1-or-later
// An httplib server that bounds what one request may make it read: the
// request line and headers as well as the body, in size and in time. httplib
// bounds the body's size alone and keeps every header line it is sent, so
// without this a client could grow the service, or hold a thread, for as
// long as it kept sending. Each connection is first put to a gate that knows
// who the peer is (the kernel's word, not the client's).
#ifndef VESSIKD_BOUNDED_SERVER_H
#define VESSIKD_BOUNDED_SERVER_H

#include <cstddef>
#include <sys/types.h>

#include <httplib.h>

namespace vessikd {

// Who a connection comes from, as the kernel tells it.
struct Peer {
    bool known = false; // false: the kernel could not say
    uid_t uid = 0;
};

// What becomes of a connection, decided before its first request is read so
// that a refusal costs no reading: served, refused with 403 (the user may
// not use the service), refused with 503 (the user holds too many), or
// closed unanswered (too many refusals are being answered already).
enum class Admission { Serve, Forbidden, TooMany, Dropped };

class ConnectionGate {
  public:
    virtual ~ConnectionGate() = default;
    // A worker has taken up a connection from `peer`; closed() follows
    // every opened(), with its answer.
    virtual Admission opened(const Peer &peer) = 0;
    virtual void closed(const Peer &peer, Admission admission) = 0;
};

class BoundedServer : public httplib::Server {
  public:
    // The request line and headers of one request together: several times
    // what a browser sends here, and small enough never to matter.
    static constexpr size_t kMaxHeadBytes = 16384;
    // And the time the head, and then the body, may take to arrive:
    // httplib's read timeout is for each read, so a request sent a byte at a
    // time could hold a thread for hours.
    static constexpr int kMaxHeadMs = 10000;
    static constexpr int kMaxBodyMs = 10000;

    enum class Overrun { None, Head, Body, HeadTime, BodyTime };
    // What the request being answered on this thread ran past, if anything.
    // Its answer is then 431, 413 or 408, and the connection closes after it.
    static Overrun request_overrun();

    // True when the client of the request being answered on this thread
    // has closed its connection (or shut down its sending side).
    static bool client_gone();

    // Who the connection being served on this thread comes from.
    static Peer peer();

    // Asked for every connection; none: every connection is served.
    void set_connection_gate(ConnectionGate *gate) { gate_ = gate; }

    // Serves a socket that already listens (one systemd passed on) instead
    // of binding one; listen_after_bind() then accepts on it.
    void adopt_listening_socket(int sock) { svr_sock_ = sock; }
    // The socket bound or adopted; -1 before.
    int listening_socket() const { return svr_sock_; }

  private:
    bool process_and_close_socket(int sock) override;
    bool serve_connection(int sock);

    ConnectionGate *gate_ = nullptr;
};

} // namespace vessikd

#endif
