// SPDX-License-Identifier: LGPL-2.1-or-later
// The programs of examples/ as an integrator runs them: under
// vessik-virtual-reader with their real libusb-1.0, each prints the card on
// the reader, and says why when no card comes.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "launcher_run.h"

namespace {

using namespace testsupport;

const std::string kCards = VSIM_CARDS_DIR;
const std::string kSampleName = "测试样卡";
const std::string kSampleId = "990000199003070013";

struct Example {
    const char *name;
    std::vector<std::string> command; // waits the example's default 10 s for a card
    std::vector<std::string> wait_one_second;
};

void PrintTo(const Example &example, std::ostream *os)
{
    *os << example.name;
}

std::vector<Example> Examples()
{
    return {
        {"C", {EXAMPLE_READ_CARD}, {"1"}},
        {"Cxx", {EXAMPLE_READ_EVERY_READER}, {"1"}},
#ifdef EXAMPLE_READ_CARD_PY
        {"Python",
         {"/usr/bin/env", "PYTHONDONTWRITEBYTECODE=1", "PYTHONPATH=" EXAMPLE_PYTHON_PACKAGE,
          "VESSIK_LIBRARY=" EXAMPLE_LIBRARY, "VESSIK_PHOTO_DECODER=" EXAMPLE_DECODER,
          EXAMPLE_PYTHON, EXAMPLE_READ_CARD_PY},
         {"--timeout", "1"}},
#endif
    };
}

class ExampleUnderLauncher : public testing::TestWithParam<Example> {};

TEST_P(ExampleUnderLauncher, PrintsTheCardOnTheReader)
{
    const Outcome r = Launch({"--card", kCards + "/sample.card"}, GetParam().command);

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(kSampleName), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(kSampleId), std::string::npos) << r.out;
}

TEST_P(ExampleUnderLauncher, SaysWhyWhenNoCardComes)
{
    std::vector<std::string> command = GetParam().command;
    command.insert(command.end(), GetParam().wait_one_second.begin(),
                   GetParam().wait_one_second.end());
    const Outcome r = Launch({"--no-card"}, command);

    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no card before the deadline"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleUnderLauncher, testing::ValuesIn(Examples()),
                         [](const testing::TestParamInfo<Example> &info) {
                             return std::string(info.param.name);
                         });

TEST(ReadEveryReaderExample, ReadsEachReaderAtOnce)
{
    const Outcome r = Launch({"--readers", "2", "--card", "2:" + kCards + "/hmt-permit.card"},
                             {EXAMPLE_READ_EVERY_READER});

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("usb:1-1: resident " + kSampleName + " " + kSampleId + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("usb:1-2: hmt-permit 测试居住证样卡 99000019950615004X\n"),
              std::string::npos)
        << r.out;
}

} // namespace
