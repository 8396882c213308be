// SPDX-License-Identifier: LGPL-2.1-or-later
// A read record compared field by field with the card that lay on the reader,
// each field named in the failure: the fields the card's type carries, by the
// model's own layout. Header only: the test links vessik_sim (directly or
// through the test bus).
#ifndef VESSIK_TESTS_SUPPORT_RECORD_COMPARE_H
#define VESSIK_TESTS_SUPPORT_RECORD_COMPARE_H

#include <gtest/gtest.h>

#include <cstddef>
#include <set>
#include <string>

#include "card.h"
#include "vessik_read.h"

namespace testsupport {

// Where the record keeps each text field of the model's cards.
struct RecordField {
    const char *key;
    size_t offset;
};
constexpr RecordField kRecordFields[] = {
    {"name", offsetof(vessik_card, name)},
    {"name_en", offsetof(vessik_card, name_en)},
    {"sex", offsetof(vessik_card, sex)},
    {"nation", offsetof(vessik_card, nation_code)},
    {"nation_code3", offsetof(vessik_card, nation_code)},
    {"birth", offsetof(vessik_card, birth)},
    {"address", offsetof(vessik_card, address)},
    {"id_number", offsetof(vessik_card, id_number)},
    {"authority", offsetof(vessik_card, authority)},
    {"authority_code", offsetof(vessik_card, authority)},
    {"valid_from", offsetof(vessik_card, valid_from)},
    {"valid_to", offsetof(vessik_card, valid_to)},
    {"version", offsetof(vessik_card, version)},
    {"pass_number", offsetof(vessik_card, pass_number)},
    {"issue_count", offsetof(vessik_card, issue_count)},
};

inline std::string RecordText(const vessik_card &record, size_t offset)
{
    return reinterpret_cast<const char *>(&record) + offset;
}

// Each text field the card's type carries, as the card holds it; every other
// text field of the record is empty, not left over.
inline void ExpectRecordShows(const vessik_card &record, const vsim::CardFields &card)
{
    vsim::CardFields c = card;
    std::set<size_t> carried;
    for (const vsim::TextField &f : vsim::text_layout(c.type)) {
        for (const RecordField &r : kRecordFields) {
            if (f.key == std::string(r.key)) {
                EXPECT_EQ(RecordText(record, r.offset), *vsim::card_field(c, f.key)) << f.key;
                carried.insert(r.offset);
            }
        }
    }
    for (const RecordField &r : kRecordFields) {
        if (carried.count(r.offset) == 0) {
            EXPECT_EQ(RecordText(record, r.offset), "") << r.key << " is not the card's";
        }
    }
}

} // namespace testsupport

#endif
