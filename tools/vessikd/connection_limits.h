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

namespace vessikd {

class ConnectionLimits {
  public:
    // Kept free for root and the service's own user.
    static constexpr unsigned kAdminReserve = 2;

    explicit ConnectionLimits(unsigned workers);

    // One more connection of `uid`; false (and nothing taken) over a limit.
    bool take(uid_t uid, bool admin);
    // A connection taken by take() has ended.
    void give_back(uid_t uid, bool admin);

    unsigned per_user() const { return per_user_; }

  private:
    const unsigned per_user_;
    const unsigned for_others_;
    std::mutex mutex_;
    std::map<uid_t, unsigned> held_;
    unsigned held_by_others_ = 0;
};

} // namespace vessikd

#endif
