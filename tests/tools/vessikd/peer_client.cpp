// SPDX-License-Identifier: LGPL-2.1-or-later
// A client of vessikd for the tests to run as another user (with setpriv):
// plain sockets and the C++ runtime only, so that a copy runs from any folder.
//
//   service_peer_client PORT request RAW      sends RAW, prints the whole answer
//   service_peer_client PORT flood SECONDS    the three ways one local client
//       could hold the service: event streams without an Origin, request
//       bodies and request heads sent a byte every half second; after a
//       second it prints how many of each the service kept, then keeps
//       dripping until SECONDS have passed
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "loopback_connection.h"

namespace {

constexpr int kStreams = 8;
constexpr int kBodies = 16;
constexpr int kHeads = 16;
constexpr auto kDripPause = std::chrono::milliseconds(500);
constexpr auto kSettle = std::chrono::seconds(1);
constexpr int kAnswerLimitMs = 5000;

void send_all(int fd, const std::string &text)
{
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

// What has arrived on `fd` by now, without waiting.
std::string arrived(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n <= 0)
            return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

int request(int port, const std::string &raw)
{
    const int fd = service_test::connect_loopback(port);
    if (fd < 0) {
        std::perror("connect");
        return 1;
    }
    send_all(fd, raw);
    std::string answer;
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kAnswerLimitMs) <= 0)
            break;
        const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    return 0;
}

struct Held {
    int fd;
    bool drips; // sends a byte every pause
};

int flood(int port, int seconds)
{
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    std::vector<Held> held;
    for (int i = 0; i < kStreams; ++i) {
        held.push_back(Held{service_test::connect_loopback(port), false});
        send_all(held.back().fd, "GET /v1/events HTTP/1.1\r\n" + host + "\r\n");
    }
    for (int i = 0; i < kBodies; ++i) {
        held.push_back(Held{service_test::connect_loopback(port), true});
        send_all(held.back().fd, "POST /v1/read HTTP/1.1\r\n" + host +
                                     "Content-Type: application/json\r\n"
                                     "Content-Length: 1000\r\n\r\n{");
    }
    for (int i = 0; i < kHeads; ++i) {
        held.push_back(Held{service_test::connect_loopback(port), true});
        send_all(held.back().fd, "GET /v1/status HTTP/1.1\r\n" + host + "X-Slow: ");
    }
    std::this_thread::sleep_for(kSettle);
    // A stream the service kept has answered 200; a drip it kept has not
    // answered at all.
    int streams = 0;
    int bodies = 0;
    int heads = 0;
    for (size_t i = 0; i < held.size(); ++i) {
        const std::string answer = held[i].fd >= 0 ? arrived(held[i].fd) : "x";
        const bool kept =
            held[i].drips ? answer.empty() : answer.find(" 200 ") != std::string::npos;
        const int at = static_cast<int>(i);
        (at < kStreams ? streams : at < kStreams + kBodies ? bodies : heads) += kept ? 1 : 0;
    }
    std::printf("held: streams %d of %d, bodies %d of %d, heads %d of %d\n", streams, kStreams,
                bodies, kBodies, heads, kHeads);
    std::fflush(stdout);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        for (const Held &h : held) {
            if (h.drips && h.fd >= 0)
                send(h.fd, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        std::this_thread::sleep_for(kDripPause);
    }
    for (const Held &h : held)
        close(h.fd);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[2], "request") == 0)
        return request(std::atoi(argv[1]), argv[3]);
    if (argc == 4 && std::strcmp(argv[2], "flood") == 0)
        return flood(std::atoi(argv[1]), std::atoi(argv[3]));
    std::fputs("usage: service_peer_client PORT request RAW | PORT flood SECONDS\n", stderr);
    return 2;
}
