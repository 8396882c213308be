// SPDX-License-Identifier: LGPL-2.1-or-later
// Runs programs as the user nobody, as CI (root) can: copies of them, and of
// the shared libraries they load from the build tree, lie in a folder of
// their own that nobody may enter, wherever the build tree is (a checkout
// in /root is closed to nobody).
#ifndef VESSIK_TESTS_SUPPORT_AS_NOBODY_H
#define VESSIK_TESTS_SUPPORT_AS_NOBODY_H

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

class AsNobody {
  public:
    AsNobody()
    {
        char dir[] = "/tmp/vessik-nobody.XXXXXX";
        if (geteuid() == 0 && access(kSetpriv, X_OK) == 0 && mkdtemp(dir) != nullptr &&
            chmod(dir, kOpenToAll) == 0)
            dir_ = dir;
    }
    ~AsNobody()
    {
        for (const std::string &file : placed_)
            unlink(file.c_str());
        if (!dir_.empty())
            rmdir(dir_.c_str());
    }
    AsNobody(const AsNobody &) = delete;
    AsNobody &operator=(const AsNobody &) = delete;

    // False where the tests cannot be someone else (not root, no setpriv).
    bool available() const { return !dir_.empty(); }
    const std::string &dir() const { return dir_; }

    // A copy of `file` in the folder, under its own name (a link's name,
    // with the contents of what it points to).
    std::string place(const std::string &file)
    {
        const std::string copy = dir_ + "/" + file.substr(file.find_last_of('/') + 1);
        std::ifstream in(file, std::ios::binary);
        std::ofstream(copy, std::ios::binary) << in.rdbuf();
        chmod(copy.c_str(), kOpenToAll);
        placed_.push_back(copy);
        return copy;
    }

    // A copy of `program` and of the build tree's libraries it loads,
    // `libraries` as a list of paths by their sonames joined with ':' (the
    // build gives it as VESSIK_BUILD_TREE_LIBRARIES); the copy finds them
    // through library_path().
    std::string place_program(const std::string &program, const std::string &libraries)
    {
        for (size_t start = 0; start < libraries.size();) {
            const size_t end = std::min(libraries.find(':', start), libraries.size());
            place(libraries.substr(start, end - start));
            start = end + 1;
        }
        return place(program);
    }

    // The environment entry that makes placed programs load the placed
    // libraries.
    std::string library_path() const { return "LD_LIBRARY_PATH=" + dir_; }

    // What runs a command as nobody.
    static std::vector<std::string> wrapper()
    {
        return {kSetpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
    }

  private:
    static constexpr const char *kSetpriv = "/usr/bin/setpriv";
    static constexpr mode_t kOpenToAll = 0755;

    std::string dir_;
    std::vector<std::string> placed_;
};

} // namespace testsupport

#endif
