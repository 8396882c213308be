// SPDX-License-Identifier: LGPL-2.1-or-later
// The doctor's checks on a serial port.
#include "serial_checks.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace doctor {
namespace {

constexpr mode_t kPermissionBits = 07777;

std::string user_name(uid_t uid)
{
    const passwd *pw = getpwuid(uid);
    return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

std::string group_name(gid_t gid)
{
    const group *gr = getgrgid(gid);
    return gr != nullptr ? gr->gr_name : std::to_string(gid);
}

// This process's groups, the effective one included.
bool member_of(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int listed = getgroups(count, groups.data());
    for (int i = 0; i < listed; ++i) {
        if (groups[static_cast<size_t>(i)] == gid)
            return true;
    }
    return false;
}

} // namespace

SerialPortCheck check_serial_port(const char *device)
{
    SerialPortCheck result;
    struct stat st {};
    if (stat(device, &st) != 0) {
        result.stat_error = errno;
        return result;
    }
    result.exists = true;
    result.is_terminal = S_ISCHR(st.st_mode);
    result.owner = user_name(st.st_uid);
    result.group = group_name(st.st_gid);
    result.mode = st.st_mode & kPermissionBits;
    result.in_group = member_of(st.st_gid);
    // The effective ids decide the open, as they will for a read.
    if (faccessat(AT_FDCWD, device, R_OK | W_OK, AT_EACCESS) == 0)
        result.can_open = true;
    else
        result.access_error = errno;
    return result;
}

} // namespace doctor
