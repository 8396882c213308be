// An httplib server that bounds what one request may make it read: the
// request line and headers as well as the body. httplib bounds the body
// alone and keeps every header line it is sent, so without this a client
// could grow the service for as long as it kept sending headers.
#ifndef VESSIKD_BOUNDED_SERVER_H
#define VESSIKD_BOUNDED_SERVER_H

#include <cstddef>

#include <httplib.h>

namespace vessikd {

class BoundedServer : public httplib::Server {
  public:
    // The request line and headers of one request together: several times
    // what a browser sends here, and small enough never to matter.
    static constexpr size_t kMaxHeadBytes = 16384;
    // And the time it may take to arrive: httplib's read timeout is for
    // each read, so a head sent a byte at a time could hold a thread for
    // hours.
    static constexpr int kMaxHeadMs = 10000;

    enum class Overrun { None, Head, Body, HeadTime };
    // What the request being answered on this thread ran past, if anything.
    // Its answer is then 431, 413 or 408, and the connection closes after it.
    static Overrun request_overrun();

    // True when the client of the request being answered on this thread
    // has closed its connection (or shut down its sending side).
    static bool client_gone();

  private:
    bool process_and_close_socket(int sock) override;
};

} // namespace vessikd

#endif
