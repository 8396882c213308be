// SPDX-License-Identifier: LGPL-2.1-or-later
// Programs under the virtual reader launcher: the command line that runs one,
// a run to its end, the launcher's --stats figures, and the "tag key=value
// ..." lines such test clients print.
#ifndef VESSIK_TESTS_SUPPORT_LAUNCHER_RUN_H
#define VESSIK_TESTS_SUPPORT_LAUNCHER_RUN_H

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "child_process.h"

namespace testsupport {

// LAUNCHER LAUNCHER_ARGS... -- PROGRAM...
inline std::vector<std::string> UnderLauncher(const std::string &launcher,
                                              const std::vector<std::string> &launcher_args,
                                              const std::vector<std::string> &program)
{
    std::vector<std::string> args = {launcher};
    args.insert(args.end(), launcher_args.begin(), launcher_args.end());
    args.push_back("--");
    args.insert(args.end(), program.begin(), program.end());
    return args;
}

// The launcher's own exit codes.
constexpr int kExitStopped = 124;         // --stop-after ended the program
constexpr int kExitLauncherError = 125;   // a bad command line
constexpr int kExitNotFound = 127;        // no such program
constexpr double kLauncherRunLimitS = 25; // every run of the tests ends well before this
// A launcher that must be stopped gets SIGTERM first, so that it removes its testbed.
constexpr double kLauncherStopGraceS = 4;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    double wall_s = 0;
};

// How the tests start a launcher (or a program like it). `bare`: without the
// umockdev and launcher variables of our own environment.
inline Spawn LauncherSpawn(bool bare = false)
{
    Spawn how;
    how.stop_grace_s = kLauncherStopGraceS;
    if (bare)
        how.env_drop = {"UMOCKDEV_", "LD_PRELOAD="};
    return how;
}

// Runs `args` to its end (stopped after kLauncherRunLimitS).
inline Outcome RunToEnd(const std::vector<std::string> &args, bool bare = false)
{
    const Spawn how = LauncherSpawn(bare);
    Process p;
    Outcome r;
    if (!p.Start(args, how))
        return r;
    r.status = p.Finish(kLauncherRunLimitS);
    r.out = p.out;
    r.err = p.err;
    r.wall_s = p.Took();
    return r;
}

#ifdef VESSIK_LAUNCHER
// The launcher every suite that runs programs under it is given: OPTIONS
// -- PROGRAM..., run to its end.
inline Outcome Launch(const std::vector<std::string> &options,
                      const std::vector<std::string> &program)
{
    return RunToEnd(UnderLauncher(VESSIK_LAUNCHER, options, program));
}
#endif

// "key=value" out of the launcher's --stats lines; -1 when it is not there.
inline long StatOf(const std::string &err, const std::string &key)
{
    const size_t at = err.find(" " + key + "=");
    return at == std::string::npos ? -1 : std::atol(err.c_str() + at + key.size() + 2);
}

inline double StatSeconds(const std::string &err, const std::string &key)
{
    const size_t at = err.find(" " + key + "=");
    return at == std::string::npos ? -1 : std::atof(err.c_str() + at + key.size() + 2);
}

inline bool PathExists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// Alive and not merely waiting to be reaped (a zombie is done).
inline bool Running(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_field;
    std::string name;
    char state = 'X';
    stat >> pid_field >> name >> state;
    return stat && state != 'Z' && state != 'X';
}

inline std::string FirstLine(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

using Record = std::map<std::string, std::string>;

inline int AsInt(const Record &r, const char *key)
{
    return std::atoi(r.at(key).c_str());
}

inline double AsDouble(const Record &r, const char *key)
{
    return std::atof(r.at(key).c_str());
}

inline bool IsKey(const std::string &piece, size_t eq)
{
    return eq != std::string::npos && eq > 0 &&
           piece.find_first_not_of("abcdefghijklmnopqrstuvwxyz_0123456789") == eq;
}

// The lines of `out` that start with `tag` and a blank, as key=value pairs.
// Pieces between single blanks that do not start "key=" belong to the value
// before them, blanks and all ("read card  successful").
inline std::vector<Record> Records(const std::string &out, const std::string &tag)
{
    std::vector<Record> found;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, tag.size() + 1, tag + " ") != 0)
            continue;
        Record r;
        std::istringstream pieces(line.substr(tag.size() + 1));
        std::string last;
        for (std::string piece; std::getline(pieces, piece, ' ');) {
            const size_t eq = piece.find('=');
            if (IsKey(piece, eq)) {
                last = piece.substr(0, eq);
                r[last] = piece.substr(eq + 1);
            } else if (!last.empty()) {
                r[last] += " " + piece;
            }
        }
        found.push_back(r);
    }
    return found;
}

} // namespace testsupport

#endif
