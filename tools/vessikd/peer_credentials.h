// SPDX-License-Identifier: LGPL-2.1-or-later
// Who is at the other end of a loopback TCP connection: the kernel knows the
// user that owns the client's socket, and says so over its socket diagnostics
// interface (the one `ss -e` asks). No cooperation of the client is needed.
#ifndef VESSIKD_PEER_CREDENTIALS_H
#define VESSIKD_PEER_CREDENTIALS_H

#include <sys/types.h>

namespace vessikd {

// The user owning the socket at the other end of `sock`, a TCP connection
// over the loopback interface. false when the kernel does not know it, or
// the client's end is no longer an open, established socket (a client that
// has closed leaves a time-wait entry that owns nothing).
bool peer_uid(int sock, uid_t &uid);

} // namespace vessikd

#endif
