// SPDX-License-Identifier: LGPL-2.1-or-later
// The launcher's --profile parser on its own: a malformed line of a capture
// is refused with its number and what is wrong with it, never a crash.
#include <gtest/gtest.h>

#include <string>

#include "capture_profile.h"

namespace {

const std::string kGoodAnswer = R"({"kind":"frame","dir":"in","cmd":"2001","first_us":812,)"
                                R"("bytes":"AAAAAA9669000400008084"})";

struct MalformedLine {
    const char *line;
    const char *why;
};

TEST(CaptureProfileTest, AMalformedLineIsRefusedWithItsNumber)
{
    std::string error;
    ASSERT_NE(nullptr, CaptureProfile::parse(kGoodAnswer + "\n", false, error)) << error;

    const MalformedLine cases[] = {
        {"not json", "not a JSON object"},
        {"[1,2]", "not a JSON object"},
        {R"({"dir":"in"})", R"(no "kind")"},
        {R"({"kind":5})", R"("kind" is not a string)"},
        {R"({"kind":"frame"})", R"(no "dir")"},
        {R"({"kind":"frame","dir":true})", R"("dir" is not a string)"},
        {R"({"kind":"frame","dir":"sideways"})", R"("dir" is neither)"},
        {R"({"kind":"frame","dir":"in","first_us":1,"bytes":""})", R"(no "cmd")"},
        {R"({"kind":"frame","dir":"in","cmd":2001,"first_us":1,"bytes":""})",
         R"("cmd" is not a string)"},
        {R"({"kind":"frame","dir":"in","cmd":"20G1","first_us":1,"bytes":""})",
         R"("cmd" is not a command)"},
        {R"({"kind":"frame","dir":"in","cmd":"200102","first_us":1,"bytes":""})",
         R"("cmd" is not a command)"},
        {R"({"kind":"frame","dir":"in","cmd":"2001","bytes":""})", R"(no "first_us")"},
        {R"({"kind":"frame","dir":"in","cmd":"2001","first_us":"812","bytes":""})",
         R"("first_us" is not a time)"},
        {R"({"kind":"frame","dir":"in","cmd":"2001","first_us":1.5,"bytes":""})",
         R"("first_us" is not a time)"},
        {R"({"kind":"frame","dir":"in","cmd":"2001","first_us":-2,"bytes":""})",
         R"("first_us" is not a time)"},
        {R"({"kind":"frame","dir":"in","cmd":"2001","first_us":18446744073709551615,"bytes":""})",
         R"("first_us" is not a time)"},
        {R"({"kind":"frame","dir":"in","cmd":"2001","first_us":1})", R"(no "bytes")"},
        {R"({"kind":"frame","dir":"in","cmd":"2001","first_us":1,"bytes":null})",
         R"("bytes" is not a string)"},
        {R"({"kind":"frame","dir":"in","cmd":"2001","first_us":1,"bytes":"AAA"})",
         R"("bytes" is not hex)"},
        {R"({"kind":"frame","dir":"in","cmd":"2001","first_us":1,"bytes":"AAzz"})",
         R"("bytes" is not hex)"},
        {R"({"kind":"frame","dir":"in","cmd":"2001","first_us":1,"bytes":"AA-1"})",
         R"("bytes" is not hex)"},
        {R"({"kind":"frame","dir":"in","cmd":"2001","first_us":1,"bytes":"AA 1"})",
         R"("bytes" is not hex)"},
    };
    for (const MalformedLine &c : cases) {
        error.clear();
        EXPECT_EQ(nullptr, CaptureProfile::parse(kGoodAnswer + "\n" + c.line + "\n", false, error))
            << c.line;
        EXPECT_EQ(0u, error.find(std::string("line 2: ") + c.why)) << c.line << " -> " << error;
    }
}

} // namespace
