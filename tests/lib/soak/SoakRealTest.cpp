// Three hundred card reads through the real libusb-1.0 under
// vessik-virtual-reader (soak_real_client does them; see there): every read
// ends as its round expects, and after them the client holds no more
// descriptors, threads or memory than after the warm-up, and the testbed
// folder is gone. A sanitized build also has LeakSanitizer check both
// processes at their exit.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const kLauncher = VESSIK_LAUNCHER;
const char *const kClient = VESSIK_SOAK_CLIENT;

constexpr int kReads = 300;
constexpr long kRssGrowthLimitKb = 1024;
constexpr long kHeapGrowthLimitBytes = 64 * 1024;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `args` to its end with stdout and stderr captured.
Outcome run(const std::vector<std::string> &args)
{
    Outcome r;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return r;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *texts[2] = {&r.out, &r.err};
    int open_pipes = 2;
    while (open_pipes > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                texts[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// The "TAG key=value ..." line of the client's output whose `when` (or
// first key) is `first`.
std::map<std::string, std::string> line_of(const std::string &out, const std::string &tag,
                                           const std::string &first = "")
{
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, tag.size() + 1, tag + " ") != 0)
            continue;
        std::map<std::string, std::string> r;
        std::istringstream words(line.substr(tag.size() + 1));
        for (std::string w; words >> w;) {
            const size_t eq = w.find('=');
            if (eq != std::string::npos)
                r[w.substr(0, eq)] = w.substr(eq + 1);
        }
        if (first.empty() || r["when"] == first)
            return r;
    }
    return {};
}

long num(const std::map<std::string, std::string> &r, const char *key)
{
    const auto it = r.find(key);
    return it == r.end() ? -2 : std::atol(it->second.c_str());
}

TEST(SoakReal, ThreeHundredReadsThroughLibusbLeaveNothingBehind)
{
    const Outcome r = run({kLauncher, "--control", "--", kClient, std::to_string(kReads)});

    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("wrong "), std::string::npos) << r.out;
    const auto summary = line_of(r.out, "soak");
    EXPECT_EQ(num(summary, "reads"), kReads);
    EXPECT_EQ(num(summary, "wrong"), 0);

    const auto warm = line_of(r.out, "usage", "warm");
    const auto end = line_of(r.out, "usage", "end");
    ASSERT_FALSE(warm.empty()) << r.out;
    ASSERT_FALSE(end.empty()) << r.out;
    EXPECT_EQ(num(end, "fds"), num(warm, "fds"));
    EXPECT_EQ(num(end, "threads"), num(warm, "threads"));
    // A sanitizer's quarantine holds freed memory for a while: there the live
    // heap is what must stay flat; without one, the resident size.
    if (num(warm, "heap_bytes") >= 0)
        EXPECT_LT(num(end, "heap_bytes") - num(warm, "heap_bytes"), kHeapGrowthLimitBytes);
    else
        EXPECT_LT(num(end, "rss_kb") - num(warm, "rss_kb"), kRssGrowthLimitKb);
    std::istringstream lines(r.out); // the figures, for the log
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, 6, "usage ") == 0 || line.compare(0, 5, "soak ") == 0)
            std::printf("%s\n", line.c_str());

    const std::string dir = line_of(r.out, "testbed").count("dir") != 0
                                ? line_of(r.out, "testbed").at("dir")
                                : std::string();
    ASSERT_EQ(dir.compare(0, 14, "/tmp/umockdev."), 0) << r.out;
    struct stat st {};
    EXPECT_NE(lstat(dir.c_str(), &st), 0) << dir << " was left behind";
}

} // namespace
