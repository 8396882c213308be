// SPDX-License-Identifier: LGPL-2.1-or-later
// Which users of this computer may use the reader through vessikd. The kit
// takes the rule a desktop takes for its smart-card readers: the person at
// the computer (an active session on a local seat, as logind tells it), the
// administrator, the service's own user, and the users and groups the
// settings name. Everyone else is refused, whatever they send.
#ifndef VESSIKD_LOCAL_USERS_H
#define VESSIKD_LOCAL_USERS_H

#include <functional>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace vessikd {

// Users by their ids and by the groups they are members of.
struct UserList {
    std::vector<uid_t> users;
    std::vector<gid_t> groups;
    bool holds(uid_t uid) const;
};

class LocalUsers {
  public:
    // Whether the user has an active session on a local seat.
    using SeatCheck = std::function<bool(uid_t)>;

    // `card_receivers` (events-allow-users) are also admitted. `at_seat`
    // asks logind unless given.
    LocalUsers(UserList admitted, UserList card_receivers, SeatCheck at_seat = nullptr);

    // root, or the user vessikd runs as.
    static bool is_admin(uid_t uid);
    // An administrator, a listed user or a member of a listed group, or a
    // user with an active session on a local seat.
    bool admitted(uid_t uid) const;
    // Whose event streams may carry cards: the user at the seat and the
    // card receivers. Not root by itself: being trusted to connect is not
    // being the person the card is shown to.
    bool receives_cards(uid_t uid) const;

    // logind's view.
    static bool active_on_a_seat(uid_t uid);

  private:
    const UserList admitted_;
    const UserList card_receivers_;
    const SeatCheck at_seat_;
};

} // namespace vessikd

#endif
