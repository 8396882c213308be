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

LocalUsers::LocalUsers(UserList admitted, UserList card_receivers, SeatCheck at_seat)
    : admitted_(std::move(admitted)), card_receivers_(std::move(card_receivers)),
      at_seat_(at_seat ? std::move(at_seat) : SeatCheck(&LocalUsers::active_on_a_seat))
{
}

bool LocalUsers::admitted(uid_t uid) const
{
    return is_admin(uid) || admitted_.holds(uid) || card_receivers_.holds(uid) || at_seat_(uid);
}

bool LocalUsers::receives_cards(uid_t uid) const
{
    return card_receivers_.holds(uid) || at_seat_(uid);
}

bool UserList::holds(uid_t uid) const
{
    if (std::find(users.begin(), users.end(), uid) != users.end())
        return true;
    if (groups.empty())
        return false;
    passwd entry{};
    passwd *found = nullptr;
    char buffer[kPasswdBufferBytes];
    if (getpwuid_r(uid, &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr)
        return false;
    gid_t member_of[kMaxGroups];
    int count = kMaxGroups;
    if (getgrouplist(entry.pw_name, entry.pw_gid, member_of, &count) < 0)
        count = kMaxGroups; // more than that: look at those that fit
    for (int i = 0; i < count; ++i) {
        if (std::find(groups.begin(), groups.end(), member_of[i]) != groups.end())
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
