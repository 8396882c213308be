// SPDX-License-Identifier: LGPL-2.1-or-later
// Time, string and logging helpers, through the shared library.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "Public.h"
#include "output_capture.h"

namespace {

using Pieces = std::vector<std::string>;

int64_t ClockMillis(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

TEST(GetTickCount, ReadsTheMonotonicClockInMilliseconds)
{
    const int64_t before = ClockMillis(CLOCK_MONOTONIC);
    const int64_t tick = GetTickCount();
    const int64_t after = ClockMillis(CLOCK_MONOTONIC);
    EXPECT_GE(tick, before);
    EXPECT_LE(tick, after);
}

TEST(GetTickCount, AdvancesWithElapsedTime)
{
    const int64_t first = GetTickCount();
    usleep(200 * 1000);
    const int64_t elapsed = GetTickCount() - first;
    EXPECT_GE(elapsed, 200);
    EXPECT_LT(elapsed, 1000);
}

std::string Trimmed(const char *text)
{
    char buf[64];
    strcpy(buf, text);
    EXPECT_EQ(chartrimright(buf), buf);
    return buf;
}

TEST(Chartrimright, ClearsTrailingSpacesOnly)
{
    EXPECT_EQ(Trimmed(""), "");
    EXPECT_EQ(Trimmed("a  "), "a");
    EXPECT_EQ(Trimmed("ab c "), "ab c");
    EXPECT_EQ(Trimmed("   "), " "); // the first character is never cleared
    EXPECT_EQ(Trimmed(" "), " ");
    EXPECT_EQ(Trimmed("x\t "), "x\t");
    EXPECT_EQ(Trimmed("x \n"), "x \n");
    EXPECT_EQ(Trimmed("no trailing"), "no trailing");
}

TEST(Chartrimright, OverwritesTheSpacesInPlace)
{
    char buf[] = "ab   ";
    chartrimright(buf);
    EXPECT_EQ(std::string(buf, sizeof(buf)), std::string("ab\0\0\0\0", 6));
    EXPECT_EQ(chartrimright(nullptr), nullptr);
}

TEST(Split, PiecesBetweenCommas)
{
    EXPECT_EQ(split("", ","), Pieces({""}));
    EXPECT_EQ(split("a,,b", ","), Pieces({"a", "", "b"}));
    EXPECT_EQ(split("a,", ","), Pieces({"a", ""}));
    EXPECT_EQ(split("abc", ","), Pieces({"abc"}));
    EXPECT_EQ(split(",a", ","), Pieces({"", "a"}));
    EXPECT_EQ(split("one,two,three", ","), Pieces({"one", "two", "three"}));
}

TEST(Split, LongerSeparators)
{
    EXPECT_EQ(split("a::b::c", "::"), Pieces({"a", "b", "c"}));
    EXPECT_EQ(split("a:b", "::"), Pieces({"a:b"}));
    // A self-overlapping separator: the search resumes behind each occurrence,
    // and the last letter is followed by no complete occurrence.
    EXPECT_EQ(split("aaa", "aa"), Pieces({"", ""}));
    EXPECT_EQ(split("xaay", "aa"), Pieces({"x", "y"}));
}

TEST(Split, EmptySeparatorGivesTheWholeText)
{
    EXPECT_EQ(split("a,b", ""), Pieces({"a,b"}));
    EXPECT_EQ(split("", ""), Pieces({""}));
}

TEST(LogStr, PrintsNothing)
{
    const testsupport::Output said = testsupport::Capture([] {
        LOG_Str("[USB]", "usb_set_configuration ERR");
        LOG_Str("", "");
    });
    EXPECT_EQ(said.err, "");
    EXPECT_EQ(said.out, "");
}

// The seven numbers of a time stamp "Y-M-D h:m:s.us" in front of `rest`, each
// plain decimal without zero padding; empty when the line has another form.
std::vector<long> StampNumbers(const std::string &line, const std::string &rest)
{
    const char separators[] = "-- ::.";
    std::vector<long> numbers;
    size_t pos = 0;
    for (int i = 0; i < 7; ++i) {
        const size_t end = line.find_first_not_of("0123456789", pos);
        const std::string digits = line.substr(pos, end - pos);
        if (digits.empty() || (digits.size() > 1 && digits[0] == '0'))
            return {};
        numbers.push_back(std::stol(digits));
        const bool last = i == 6;
        if (end == std::string::npos || (!last && line[end] != separators[i]))
            return {};
        pos = last ? end : end + 1;
    }
    return line.substr(pos) == rest ? numbers : std::vector<long>{};
}

TEST(LogInt, PrintsTheLocalTimeOfTheCallUnpadded)
{
    // Retried until the call falls within one second, so that the
    // microseconds can be bounded too.
    timeval before{};
    timeval after{};
    std::string line;
    for (int attempt = 0; attempt < 3; ++attempt) {
        gettimeofday(&before, nullptr);
        line = testsupport::Capture([] { LOG_Int("tag", -5); }).out;
        gettimeofday(&after, nullptr);
        if (before.tv_sec == after.tv_sec)
            break;
    }
    ASSERT_EQ(before.tv_sec, after.tv_sec);

    const std::vector<long> n = StampNumbers(line, "[tag==-5]\n");
    ASSERT_EQ(n.size(), 7u) << line;
    tm local{};
    localtime_r(&before.tv_sec, &local);
    const std::vector<long> expected = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                        local.tm_hour,        local.tm_min,     local.tm_sec};
    EXPECT_EQ(std::vector<long>(n.begin(), n.begin() + 6), expected) << line;
    EXPECT_GE(n[6], before.tv_usec) << line;
    EXPECT_LE(n[6], after.tv_usec) << line;
}

TEST(LogInt, PrintsTheTagAndValueAsGiven)
{
    const std::string first = testsupport::Capture([] { LOG_Int("x", 5); }).out;
    const std::string second = testsupport::Capture([] { LOG_Int("", 2147483647); }).out;
    EXPECT_EQ(StampNumbers(first, "[x==5]\n").size(), 7u) << first;
    EXPECT_EQ(StampNumbers(second, "[==2147483647]\n").size(), 7u) << second;
}

} // namespace
