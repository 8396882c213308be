// SPDX-License-Identifier: LGPL-2.1-or-later
// Which users of this computer may use the reader (see local_users.h).
#include "local_users.h"

#include <algorithm>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <systemd/sd-login.h>
#include <unistd.h>

namespace vessikd {

namespace {

constexpr size_t kPasswdBufferBytes = 4096;
constexpr int kMaxGroups = 256;

} // namespace

bool LocalUsers::is_admin(uid_t uid)
{
    return uid == 0 || uid == geteuid();
}

bool LocalUsers::admitted(uid_t uid) const
{
    return is_admin(uid) || std::find(users_.begin(), users_.end(), uid) != users_.end() ||
           in_listed_group(uid) || active_on_a_seat(uid);
}

bool LocalUsers::in_listed_group(uid_t uid) const
{
    if (groups_.empty())
        return false;
    passwd entry{};
    passwd *found = nullptr;
    char buffer[kPasswdBufferBytes];
    if (getpwuid_r(uid, &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr)
        return false;
    gid_t groups[kMaxGroups];
    int count = kMaxGroups;
    if (getgrouplist(entry.pw_name, entry.pw_gid, groups, &count) < 0)
        count = kMaxGroups; // more than that: look at those that fit
    for (int i = 0; i < count; ++i) {
        if (std::find(groups_.begin(), groups_.end(), groups[i]) != groups_.end())
            return true;
    }
    return false;
}

// logind's view: an active session of this user on any seat of this
// computer. Where logind does not run there are no seats, and nobody is on one.
bool LocalUsers::active_on_a_seat(uid_t uid)
{
    char **seats = nullptr;
    const int count = sd_get_seats(&seats);
    bool active = false;
    for (int i = 0; i < count; ++i) {
        active = active || sd_uid_is_on_seat(uid, 1, seats[i]) > 0;
        std::free(seats[i]);
    }
    std::free(seats);
    return active;
}

} // namespace vessikd
