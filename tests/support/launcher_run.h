// Programs under the virtual reader launcher: the command line that runs one,
// and the "tag key=value ..." lines such test clients print.
#ifndef VESSIK_TESTS_SUPPORT_LAUNCHER_RUN_H
#define VESSIK_TESTS_SUPPORT_LAUNCHER_RUN_H

#include <map>
#include <sstream>
#include <string>
#include <vector>

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

using Record = std::map<std::string, std::string>;

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
