// SPDX-License-Identifier: LGPL-2.1-or-later
// A TCP connection to a port on 127.0.0.1, shared by the HTTP tests and the
// client they run as another user (which includes nothing else of theirs).
#ifndef VESSIK_TESTS_SERVICE_LOOPBACK_CONNECTION_H
#define VESSIK_TESTS_SERVICE_LOOPBACK_CONNECTION_H

#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace service_test {

// A TCP connection to the service, or -1.
inline int connect_loopback(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace service_test

#endif
