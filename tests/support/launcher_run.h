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

// The lines of `out` that start with `tag` and a blank, as key=value pairs
// (values without blanks).
inline std::vector<Record> Records(const std::string &out, const std::string &tag)
{
    std::vector<Record> found;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, tag.size() + 1, tag + " ") != 0)
            continue;
        Record r;
        std::istringstream words(line.substr(tag.size() + 1));
        for (std::string word; words >> word;) {
            const size_t eq = word.find('=');
            if (eq != std::string::npos)
                r[word.substr(0, eq)] = word.substr(eq + 1);
        }
        found.push_back(r);
    }
    return found;
}

} // namespace testsupport

#endif
