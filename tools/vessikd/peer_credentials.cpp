// SPDX-License-Identifier: LGPL-2.1-or-later
// Who is at the other end of a loopback TCP connection (see
// peer_credentials.h).
#include "peer_credentials.h"

#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace vessikd {

namespace {

constexpr int kAnswerBytes = 8192;
constexpr time_t kAnswerTimeoutS = 1;

// Copies a socket address's port and address into one end of a socket id.
bool put_end(const sockaddr_storage &addr, __be16 &port, __be32 (&address)[4])
{
    if (addr.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(addr);
        port = v4.sin_port;
        std::memcpy(address, &v4.sin_addr, sizeof(v4.sin_addr));
        return true;
    }
    if (addr.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(addr);
        port = v6.sin6_port;
        std::memcpy(address, &v6.sin6_addr, sizeof(v6.sin6_addr));
        return true;
    }
    return false;
}

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

// The request for one socket: the client's, whose own end is our peer's
// address and whose far end is ours.
bool build_request(int sock, DiagRequest &request)
{
    sockaddr_storage ours{};
    sockaddr_storage theirs{};
    socklen_t len = sizeof(ours);
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&ours), &len) != 0)
        return false;
    len = sizeof(theirs);
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&theirs), &len) != 0)
        return false;
    std::memset(&request, 0, sizeof(request));
    request.header.nlmsg_len = sizeof(request);
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family = static_cast<__u8>(ours.ss_family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    // A live client's end. (The kernel finds one socket by its addresses
    // whatever it is asked; the answer is judged again below.)
    request.body.idiag_states = 1U << TCP_ESTABLISHED;
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return put_end(theirs, request.body.id.idiag_sport, request.body.id.idiag_src) &&
           put_end(ours, request.body.id.idiag_dport, request.body.id.idiag_dst);
}

// A client that has closed leaves a time-wait entry that answers for it:
// no inode, no owner (it reads as uid 0, root). Only a socket still open
// and established names its user.
bool live_socket(const inet_diag_msg &message)
{
    return message.idiag_inode != 0 && message.idiag_state == TCP_ESTABLISHED;
}

} // namespace

bool peer_uid(int sock, uid_t &uid)
{
    DiagRequest request{};
    if (!build_request(sock, request))
        return false;
    const int diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag < 0)
        return false;
    const timeval timeout{kAnswerTimeoutS, 0};
    setsockopt(diag, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    bool found = false;
    if (sendto(diag, &request, sizeof(request), 0, reinterpret_cast<sockaddr *>(&kernel),
               sizeof(kernel)) == static_cast<ssize_t>(sizeof(request))) {
        alignas(nlmsghdr) char answer[kAnswerBytes];
        ssize_t n = 0;
        do {
            n = recv(diag, answer, sizeof(answer), 0);
        } while (n < 0 && errno == EINTR);
        const auto *header = reinterpret_cast<const nlmsghdr *>(answer);
        if (n > 0 && NLMSG_OK(header, static_cast<unsigned>(n)) &&
            header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            const auto *message = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
            found = live_socket(*message);
            if (found)
                uid = message->idiag_uid;
        }
    }
    close(diag);
    return found;
}

} // namespace vessikd
