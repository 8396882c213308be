// SPDX-License-Identifier: LGPL-2.1-or-later
// Which users of this computer may use the reader through vessikd. The kit
// takes the rule a desktop takes for its smart-card readers: the person at
// the computer (an active session on a local seat, as logind tells it), the
// administrator, the service's own user, and the users and groups the
// settings name. Everyone else is refused, whatever they send.
#ifndef VESSIKD_LOCAL_USERS_H
#define VESSIKD_LOCAL_USERS_H

#include <sys/types.h>
#include <utility>
#include <vector>

namespace vessikd {

class LocalUsers {
  public:
    LocalUsers(std::vector<uid_t> users, std::vector<gid_t> groups)
        : users_(std::move(users)), groups_(std::move(groups))
    {
    }

    // root, or the user vessikd runs as.
    static bool is_admin(uid_t uid);
    // An administrator, a listed user or a member of a listed group, or a
    // user with an active session on a local seat.
    bool admitted(uid_t uid) const;

  private:
    bool in_listed_group(uid_t uid) const;
    static bool active_on_a_seat(uid_t uid);

    const std::vector<uid_t> users_;
    const std::vector<gid_t> groups_;
};

} // namespace vessikd

#endif
