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

Admission ConnectionLimits::take(uid_t uid, bool admitted, bool admin)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!admitted) {
        if (refusing_ >= kRefusalBudget)
            return Admission::Dropped;
        ++refusing_;
        return Admission::Forbidden;
    }
    unsigned &held = held_[uid];
    if (held >= per_user_ || (!admin && held_by_others_ >= for_others_)) {
        if (held == 0)
            held_.erase(uid);
        return Admission::TooMany;
    }
    ++held;
    if (!admin)
        ++held_by_others_;
    return Admission::Serve;
}

void ConnectionLimits::give_back(uid_t uid, Admission admission, bool admin)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (admission == Admission::Forbidden && refusing_ > 0)
        --refusing_;
    if (admission != Admission::Serve)
        return;
    const auto it = held_.find(uid);
    if (it == held_.end())
        return;
    if (--it->second == 0)
        held_.erase(it);
    if (!admin && held_by_others_ > 0)
        --held_by_others_;
}

} // namespace vessikd
