// SPDX-License-Identifier: LGPL-2.1-or-later
// The udev rule is generated from the readers' id table, as the ids NvUsb.h
// gives the library are: it must hold one line for each reader, matching
// exactly that reader's ids in the lower-case four-digit form udev compares
// against sysfs, and grant access the way the packages promise.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "NvUsb.h"

namespace {

const char *const kRuleFile = VESSIK_UDEV_RULE_FILE;

// The rule's lines that udev acts on: neither comments nor blank.
std::vector<std::string> rule_lines()
{
    std::ifstream in(kRuleFile);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        const size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line[first] != '#')
            lines.push_back(line);
    }
    return lines;
}

std::string attr(const char *name, uint16_t id)
{
    char text[48];
    std::snprintf(text, sizeof text, "ATTR{%s}==\"%04x\"", name, id);
    return text;
}

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

TEST(UdevRule, MatchesTheReaderIdsOfTheLibrary)
{
    const std::vector<std::string> lines = rule_lines();
    ASSERT_EQ(lines.size(), std::size(vessik::kReaderUsbIds)) << kRuleFile;
    // The reader the library opens comes first.
    const std::string &first = lines.front();
    EXPECT_NE(first.find(attr("idVendor", vessik::kReaderVendorId)), std::string::npos) << first;
    EXPECT_NE(first.find(attr("idProduct", vessik::kReaderProductId)), std::string::npos) << first;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string &rule = lines[i];
        const vessik::ReaderUsbId &id = vessik::kReaderUsbIds[i];
        EXPECT_NE(rule.find(attr("idVendor", id.vendor)), std::string::npos) << rule;
        EXPECT_NE(rule.find(attr("idProduct", id.product)), std::string::npos) << rule;
        // No second, stale pair of ids beside the right one.
        EXPECT_EQ(count(rule, "ATTR{idVendor}"), 1u) << rule;
        EXPECT_EQ(count(rule, "ATTR{idProduct}"), 1u) << rule;
    }
}

// systemd's 73-seat-late.rules turns the uaccess tag into an ACL for the
// logged-in user, so the tag must be set by a rule file that sorts before it.
// Beside the user at the seat, only the group vessik (the service) may open
// the reader.
TEST(UdevRule, TagsUaccessBeforeTheSeatRulesRun)
{
    constexpr int kSeatLateRules = 73;
    const std::string path = kRuleFile;
    const std::string name = path.substr(path.find_last_of('/') + 1);
    ASSERT_GE(name.size(), 3u);
    ASSERT_TRUE(isdigit(name[0]) && isdigit(name[1]) && name[2] == '-') << name;
    EXPECT_LT(std::stoi(name.substr(0, 2)), kSeatLateRules) << name;

    const std::vector<std::string> lines = rule_lines();
    ASSERT_EQ(lines.size(), std::size(vessik::kReaderUsbIds));
    for (const std::string &rule : lines) {
        EXPECT_NE(rule.find("TAG+=\"uaccess\""), std::string::npos) << rule;
        // The service's group, not plugdev, which every desktop user is in.
        EXPECT_NE(rule.find("GROUP=\"vessik\", MODE=\"0660\""), std::string::npos) << rule;
        EXPECT_EQ(rule.find("plugdev"), std::string::npos) << rule;
    }
}

} // namespace
