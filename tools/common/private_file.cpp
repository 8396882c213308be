// SPDX-License-Identifier: LGPL-2.1-or-later
// New private files, written beside their place and moved into it.
#include "private_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vessik_tools {
namespace {

constexpr mode_t kPrivateFile = 0600;
constexpr const char *kTemporarySuffix = ".XXXXXX";

// The folder part of `path`, with its slash ("" for a bare name).
std::string folder_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool write_all(int fd, const std::string &contents)
{
    size_t done = 0;
    while (done < contents.size()) {
        const ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool move_without_replacing(const std::string &from, const std::string &to)
{
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without RENAME_NOREPLACE: a hard link refuses an
    // existing name just the same.
    if (link(from.c_str(), to.c_str()) != 0)
        return false;
    unlink(from.c_str());
    return true;
}

bool write_new_private_file(const std::string &path, const std::string &contents)
{
    // A hidden name beside the target, so that the move stays on one file system.
    std::string temporary = folder_of(path) + ".vessik" + kTemporarySuffix;
    const int fd = mkostemp(&temporary[0], O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, kPrivateFile) == 0 && write_all(fd, contents) && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && move_without_replacing(temporary, path))
        return true;
    if (ok)
        saved = errno;
    unlink(temporary.c_str());
    errno = saved;
    return false;
}

} // namespace vessik_tools
