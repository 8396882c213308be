// SPDX-License-Identifier: LGPL-2.1-or-later
// What vessik-read prints for a card: a JSON object or readable lines, and
// the name of the photo file it asks for.
#ifndef VESSIK_TOOLS_READ_CARD_OUTPUT_H
#define VESSIK_TOOLS_READ_CARD_OUTPUT_H

#include <cstddef>
#include <string>

#include "vessik_read.h"

namespace vread {

// The photo file's name for an identity number: digits and capital letters
// stay (a foreign card's number holds letters), every other byte becomes
// '_', then '.' and the extension ("_.bmp" for an empty number and the
// default extension). A card's text can thus
// never leave the folder or hide the file.
std::string photo_file_name(const char *id_number, const std::string &extension = "bmp");

// One line of the kit's card JSON (tools/common/card_json.h), the form
// vessikd serves too. `photo_image` is the image file written, or empty for
// null.
std::string card_json_line(const vessik_card &card, const std::string &photo_image);

// Readable lines for a person: the fields the card's type carries, their
// control characters escaped ("\x1b"). `photo_note` says what became of the
// photo.
std::string card_text(const vessik_card &card, const std::string &photo_note);

// What --watch prints when the card it printed last has left `reader`: the
// JSON line {"event":"removed","reader":...}, or a readable line.
std::string removal_json_line(const char *reader);
std::string removal_text(const char *reader);

} // namespace vread

#endif
