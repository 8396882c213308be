// SPDX-License-Identifier: LGPL-2.1-or-later
// The model's cards as tests use them: loaded from a card file, written as
// the card carries its text, and two of them compared field by field, each
// field named in the failure (the fields the card's type carries, by the
// model's own layout). Header only: the test links vessik_sim (directly or
// through the test bus).
#ifndef VESSIK_TESTS_SUPPORT_CARD_FIXTURES_H
#define VESSIK_TESTS_SUPPORT_CARD_FIXTURES_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "card.h"
#include "files.h"

namespace testsupport {

// The card a card file describes; the test fails when the file does not parse.
inline vsim::CardFields LoadCardFile(const std::string &path)
{
    vsim::CardFields card;
    std::string error;
    EXPECT_TRUE(vsim::parse_card_file(ReadFile(path), card, error)) << path << ": " << error;
    return card;
}

// `text` as the card carries it: UCS-2LE, no padding.
inline std::vector<uint8_t> Ucs2le(const std::string &text)
{
    std::vector<uint16_t> units;
    std::string error;
    EXPECT_TRUE(vsim::utf8_to_ucs2(text, units, error)) << error;
    std::vector<uint8_t> bytes;
    for (const uint16_t u : units) {
        bytes.push_back(static_cast<uint8_t>(u & 0xFF));
        bytes.push_back(static_cast<uint8_t>(u >> 8));
    }
    return bytes;
}

// Every text field of the expected card's type, then the type and the photo.
inline void ExpectSameCard(const vsim::CardFields &actual, const vsim::CardFields &expected)
{
    vsim::CardFields a = actual;
    vsim::CardFields e = expected;
    EXPECT_EQ(a.type, e.type);
    for (const vsim::TextField &f : vsim::text_layout(e.type))
        EXPECT_EQ(*vsim::card_field(a, f.key), *vsim::card_field(e, f.key)) << f.key;
    EXPECT_EQ(a.photo, e.photo);
}

} // namespace testsupport

#endif
