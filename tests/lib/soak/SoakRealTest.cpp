// SPDX-License-Identifier: LGPL-2.1-or-later
// Three hundred card reads through the real libusb-1.0 under
// vessik-virtual-reader (soak_real_client does them; see there): every read
// ends as its round expects, and after them the client holds no more
// descriptors, threads or memory than after the warm-up, and the testbed
// folder is gone. A sanitized build also has LeakSanitizer check both
// processes at their exit.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "child_process.h"
#include "launcher_run.h"

namespace {

const char *const kLauncher = VESSIK_LAUNCHER;
const char *const kClient = VESSIK_SOAK_CLIENT;

constexpr int kReads = 300;
constexpr long kRssGrowthLimitKb = 1024;
constexpr long kHeapGrowthLimitBytes = 64 * 1024;

// The client ends well within the test's own time limit (ctest's is 240 s).
constexpr double kRunLimitS = 230;

// The "TAG key=value ..." line of the client's output whose `when` (or,
// without `when`, the first of them).
testsupport::Record line_of(const std::string &out, const std::string &tag,
                            const std::string &when = "")
{
    for (const testsupport::Record &r : testsupport::Records(out, tag)) {
        const auto it = r.find("when");
        if (when.empty() || (it != r.end() && it->second == when))
            return r;
    }
    return {};
}

long num(const testsupport::Record &r, const char *key)
{
    const auto it = r.find(key);
    return it == r.end() ? -2 : std::atol(it->second.c_str());
}

TEST(SoakReal, ThreeHundredReadsThroughLibusbLeaveNothingBehind)
{
    testsupport::Process r;
    ASSERT_TRUE(r.Start(
        testsupport::UnderLauncher(kLauncher, {"--control"}, {kClient, std::to_string(kReads)})))
        << r.why();
    ASSERT_EQ(r.Wait(kRunLimitS), 0) << r.out << r.err;

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
