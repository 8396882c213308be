// SPDX-License-Identifier: LGPL-2.1-or-later
// How many of the service's worker threads one user may hold at once. Every
// connection holds a worker while it is served, an event stream for as long
// as it is open, a slow client for as long as its deadlines let it: so no
// one user may hold more than half of them, and users other than the
// administrators leave a few free for those.
#ifndef VESSIKD_CONNECTION_LIMITS_H
#define VESSIKD_CONNECTION_LIMITS_H

#include <map>
#include <mutex>
#include <sys/types.h>

#include "bounded_server.h"

namespace vessikd {

class ConnectionLimits {
  public:
    // Kept free for root and the service's own user.
    static constexpr unsigned kAdminReserve = 2;
    // Refusals being answered at once, for every user not admitted together:
    // they never count against the admitted users' workers.
    static constexpr unsigned kRefusalBudget = 2;

    explicit ConnectionLimits(unsigned workers);

    // One more connection of `uid`, whose admission is decided first. An
    // admitted user's takes a worker within its shares (Serve) or nothing
    // (TooMany); another's takes a place among the refusals (Forbidden) or
    // nothing once they are all taken (Dropped).
    Admission take(uid_t uid, bool admitted, bool admin);
    // A connection that take() answered with `admission` has ended.
    void give_back(uid_t uid, Admission admission, bool admin);

    unsigned per_user() const { return per_user_; }

  private:
    const unsigned per_user_;
    const unsigned for_others_;
    std::mutex mutex_;
    std::map<uid_t, unsigned> held_;
    unsigned held_by_others_ = 0;
    unsigned refusing_ = 0;
};

} // namespace vessikd

#endif
