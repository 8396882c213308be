// Time, string and logging helpers, through the shared library.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "Public.h"

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
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    LOG_Str("[USB]", "usb_set_configuration ERR");
    LOG_Str("", "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

struct LocalDate {
    int year, month, day;
};

LocalDate DateOf(time_t seconds)
{
    tm local{};
    localtime_r(&seconds, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

bool SameDate(const LocalDate &a, int year, int month, int day)
{
    return a.year == year && a.month == month && a.day == day;
}

TEST(LogInt, PrintsOneUnpaddedTimeStampedLine)
{
    const time_t before = time(nullptr);
    testing::internal::CaptureStdout();
    LOG_Int("tag", -5);
    const std::string line = testing::internal::GetCapturedStdout();
    const time_t after = time(nullptr);

    // No field is zero-padded: each number is 0 or starts with 1 to 9.
    const std::string num = "(0|[1-9][0-9]*)";
    const std::regex format("^" + num + "-" + num + "-" + num + " " + num + ":" + num + ":" + num +
                            "\\." + num + "\\[tag==-5\\]\n$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, format)) << line;
    const int year = std::stoi(m[1]);
    const int month = std::stoi(m[2]);
    const int day = std::stoi(m[3]);
    EXPECT_TRUE(SameDate(DateOf(before), year, month, day) ||
                SameDate(DateOf(after), year, month, day))
        << line;
    EXPECT_LE(std::stoi(m[4]), 23);
    EXPECT_LE(std::stoi(m[5]), 59);
    EXPECT_LE(std::stoi(m[6]), 60);
    EXPECT_LE(std::stol(m[7]), 999999);
}

TEST(LogInt, PrintsTheTagAndValueAsGiven)
{
    testing::internal::CaptureStdout();
    LOG_Int("x", 5);
    LOG_Int("", 0);
    LOG_Int("big", 2147483647);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::regex lines("^[0-9-]+ [0-9:]+\\.[0-9]+\\[x==5\\]\n"
                           "[0-9-]+ [0-9:]+\\.[0-9]+\\[==0\\]\n"
                           "[0-9-]+ [0-9:]+\\.[0-9]+\\[big==2147483647\\]\n$");
    EXPECT_TRUE(std::regex_match(out, lines)) << out;
}

} // namespace
