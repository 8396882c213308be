// SPDX-License-Identifier: LGPL-2.1-or-later
// The command line of a client the launcher runs: a mode, then a count. Its
// output goes out a line at a time, so that whoever reads it sees each line
// as it is printed. Header only.
#ifndef VESSIK_TESTS_SUPPORT_CLIENT_ARGS_H
#define VESSIK_TESTS_SUPPORT_CLIENT_ARGS_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {

class ClientArgs {
  public:
    ClientArgs(int argc, char **argv) : argc_(argc), argv_(argv)
    {
        setvbuf(stdout, nullptr, _IOLBF, 0);
    }

    std::string mode() const { return argc_ > 1 ? argv_[1] : ""; }
    // The count after the mode, at least 1; `fallback` when none is given.
    int count(int fallback) const
    {
        return argc_ > 2 ? std::max(1, std::atoi(argv_[2])) : fallback;
    }

  private:
    int argc_;
    char **argv_;
};

} // namespace testsupport

#endif
