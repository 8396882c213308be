// SPDX-License-Identifier: LGPL-2.1-or-later
// How many workers one user may hold (see connection_limits.h).
#include "connection_limits.h"

#include <algorithm>

namespace vessikd {

ConnectionLimits::ConnectionLimits(unsigned workers)
    : per_user_(std::max(1u, workers / 2)),
      for_others_(workers > kAdminReserve ? workers - kAdminReserve : 1u)
{
}

bool ConnectionLimits::take(uid_t uid, bool admin)
{
    std::lock_guard<std::mutex> lock(mutex_);
    unsigned &held = held_[uid];
    if (held >= per_user_ || (!admin && held_by_others_ >= for_others_)) {
        if (held == 0)
            held_.erase(uid);
        return false;
    }
    ++held;
    if (!admin)
        ++held_by_others_;
    return true;
}

void ConnectionLimits::give_back(uid_t uid, bool admin)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = held_.find(uid);
    if (it == held_.end())
        return;
    if (--it->second == 0)
        held_.erase(it);
    if (!admin && held_by_others_ > 0)
        --held_by_others_;
}

} // namespace vessikd
