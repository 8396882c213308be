// SPDX-License-Identifier: LGPL-2.1-or-later
// The launcher's --profile parser on its own: a malformed line of a capture
// is refused with its number and what is wrong with it, never a crash.
#include <gtest/gtest.h>

#include <string>

#include "capture_profile.h"

namespace {

TEST(CaptureProfileTest, AMalformedLineIsRefusedWithItsNumber)
{
    const std::string in = R"({"kind":"frame","dir":"in",)";
    const std::string good =
        in + R"("cmd":"2001","first_us":812,"bytes":"AAAAAA9669000400008084"})";
    const std::pair<std::string, std::string> cases[] = {
        {"not json", "not a JSON object"},
        {R"({"dir":"in"})", R"(no "kind")"},
        {R"({"kind":5})", R"("kind" is not a string)"},
        {R"({"kind":"frame","dir":true})", R"("dir" is not a string)"},
        {R"({"kind":"frame","dir":"sideways"})", R"("dir" is neither)"},
        {in + R"("first_us":1,"bytes":""})", R"(no "cmd")"},
        {in + R"("cmd":"20G1","first_us":1,"bytes":""})", R"("cmd" is not a command)"},
        {in + R"("cmd":"2001","bytes":""})", R"(no "first_us")"},
        {in + R"("cmd":"2001","first_us":"812","bytes":""})", R"("first_us" is not a time)"},
        {in + R"("cmd":"2001","first_us":1.5,"bytes":""})", R"("first_us" is not a time)"},
        {in + R"("cmd":"2001","first_us":18446744073709551615,"bytes":""})",
         R"("first_us" is not a time)"},
        {in + R"("cmd":"2001","first_us":1,"bytes":null})", R"("bytes" is not a string)"},
        {in + R"("cmd":"2001","first_us":1,"bytes":"AAA"})", R"("bytes" is not hex)"},
        {in + R"("cmd":"2001","first_us":1,"bytes":"AA-1"})", R"("bytes" is not hex)"},
    };
    std::string error;
    ASSERT_NE(nullptr, CaptureProfile::parse(good + "\n", false, error)) << error;
    for (const auto &c : cases) {
        error.clear();
        EXPECT_EQ(nullptr, CaptureProfile::parse(good + "\n" + c.first + "\n", false, error));
        EXPECT_EQ(0u, error.find("line 2: " + c.second)) << c.first << " -> " << error;
    }
}

} // namespace
