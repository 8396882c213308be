// SPDX-License-Identifier: LGPL-2.1-or-later
// The made-up sample card whose data take the place of a read card's in a
// capture: the kit's sample card (region 990000), kept here as a table of
// its own so that the shipped doctor carries no reader model.
#ifndef VESSIK_DOCTOR_SUBSTITUTE_CARD_H
#define VESSIK_DOCTOR_SUBSTITUTE_CARD_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "answer_layout.h"

namespace doctor {

// The sizes a read answer gives them, as the library lays it out.
constexpr size_t kTextBlockBytes = vessik::answer::kTextBytes;
constexpr size_t kPhotoBytes = vessik::answer::kPhotoBytes;
constexpr size_t kTemplateBytes = vessik::answer::kFingerprintTemplateBytes;
// 35 UCS-2LE units.
constexpr size_t kAppendedAddressBytes = 70;

// The card's text as a read answer carries it: UCS-2LE fields in their
// places, padded with spaces.
std::array<uint8_t, kTextBlockBytes> SubstituteTextBlock();
// The card's photo: kPhotoBytes of made-up bytes.
std::vector<uint8_t> SubstitutePhoto();
// Its two fingerprint templates, one after the other.
std::vector<uint8_t> SubstituteTemplates();
// Its appended address, UCS-2LE padded with spaces.
std::array<uint8_t, kAppendedAddressBytes> SubstituteAppendedAddress();

} // namespace doctor

#endif
