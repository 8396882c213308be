// SPDX-License-Identifier: LGPL-2.1-or-later
// What vessik-read prints for a card.
#include "card_output.h"

#include <cstdio>
#include <string>

#include "card_json.h"

namespace vread {
namespace {

constexpr double kUsPerMs = 1000.0;
constexpr size_t kValueColumn = 16; // readable lines: values start here

// Bit set of the card types a readable line belongs to.
constexpr unsigned kResident = 1u << VESSIK_CARD_RESIDENT;
constexpr unsigned kForeign = 1u << VESSIK_CARD_FOREIGN_PERMANENT;
constexpr unsigned kPermit = 1u << VESSIK_CARD_HMT_PERMIT;
constexpr unsigned kKnownTypes = kResident | kForeign | kPermit;
// A card whose layout we do not know shows its marker and photo, and no
// field read from a layout that does not apply.
constexpr unsigned kUnknown = 1u << 31;
constexpr unsigned kAllTypes = kKnownTypes | kUnknown;

unsigned type_bit(int type)
{
    return type >= VESSIK_CARD_RESIDENT && type <= VESSIK_CARD_HMT_PERMIT ? 1u << type : kUnknown;
}

// What became of an item asked for beside text and photo; empty when not asked.
std::string fingerprint_text(const vessik_card &card)
{
    if (card.fingerprint_state == VESSIK_ITEM_NOT_ASKED)
        return std::string();
    if (card.fingerprint_state == VESSIK_ITEM_PRESENT)
        return std::to_string(card.fingerprint_count) + " template(s), " +
               std::to_string(card.fingerprint_bytes) + " bytes";
    return vessik_tools::item_state_name(card.fingerprint_state);
}

std::string appended_address_text(const vessik_card &card)
{
    if (card.appended_address_state == VESSIK_ITEM_PRESENT)
        return card.appended_address;
    if (card.appended_address_state == VESSIK_ITEM_NOT_ASKED)
        return std::string();
    return std::string("(") + vessik_tools::item_state_name(card.appended_address_state) + ")";
}

std::string sex_text(const char *sex)
{
    const std::string code = sex;
    if (code == "1")
        return code + " (male)";
    if (code == "2")
        return code + " (female)";
    return code;
}

std::string labelled(const std::string &label, const std::string &value)
{
    std::string line = label + ":";
    line.append(line.size() < kValueColumn ? kValueColumn - line.size() : 1, ' ');
    return line + value + "\n";
}

// Card text for a terminal: control characters (C0, DEL, and C1 as UTF-8)
// are shown escaped, "\x1b", so that no card text is ever acted on.
std::string escaped(const std::string &text)
{
    constexpr unsigned char kFirstPrintable = 0x20;
    constexpr unsigned char kDelete = 0x7F;
    constexpr unsigned char kC1Lead = 0xC2;
    constexpr unsigned char kC1Last = 0x9F;
    std::string out;
    char hex[16];
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == kC1Lead && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) <= kC1Last &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80;
        if (c < kFirstPrintable || c == kDelete) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else if (c1) {
            std::snprintf(hex, sizeof hex, "\\x%02x\\x%02x", c,
                          static_cast<unsigned char>(text[++i]));
            out += hex;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string join(const std::string &a, const std::string &b)
{
    if (a.empty() || b.empty())
        return a + b;
    return a + " " + b;
}

// The number, and what its check character says when it has one.
std::string id_text(const vessik_card &card)
{
    if (card.id_check == VESSIK_ID_CHECK_NOT_APPLICABLE)
        return card.id_number;
    return join(card.id_number,
                std::string("(check ") + vessik_tools::id_check_name(card.id_check) + ")");
}

} // namespace

std::string photo_file_name(const char *id_number, const std::string &extension)
{
    std::string name;
    for (const char *c = id_number; *c != '\0'; ++c)
        name += (*c >= '0' && *c <= '9') || (*c >= 'A' && *c <= 'Z') ? *c : '_';
    if (name.empty())
        name = "_";
    return name + "." + extension;
}

std::string card_json_line(const vessik_card &card, const std::string &photo_image)
{
    return vessik_tools::json_text(vessik_tools::card_to_json(card, photo_image)) + "\n";
}

std::string removal_json_line(const char *reader)
{
    vessik_tools::Json event;
    event["event"] = "removed";
    event["reader"] = reader;
    return vessik_tools::json_text(event) + "\n";
}

std::string removal_text(const char *reader)
{
    return std::string("card removed from ") + reader + "\n";
}

std::string card_text(const vessik_card &card, const std::string &photo_note)
{
    const bool foreign = card.type == VESSIK_CARD_FOREIGN_PERMANENT;
    const struct {
        const char *label;
        std::string value;
        unsigned types;
    } lines[] = {
        {"Card", vessik_card_type_name(card.type), kAllTypes},
        {"Type marker", card.type_marker, kUnknown},
        {"English name", card.name_en, kForeign},
        {foreign ? "Chinese name" : "Name", card.name, kKnownTypes},
        {"Sex", sex_text(card.sex), kKnownTypes},
        {"Nationality", join(card.nation_code, card.nation_name), kResident | kForeign},
        {"Birth", card.birth, kKnownTypes},
        {"Address", card.address, kResident | kPermit},
        {"New address", appended_address_text(card), kAllTypes},
        {foreign ? "Card number" : "ID number", id_text(card), kKnownTypes},
        {foreign ? "Authority code" : "Authority", card.authority, kKnownTypes},
        {"Valid", std::string(card.valid_from) + " - " + card.valid_to, kKnownTypes},
        {"Pass number", card.pass_number, kPermit},
        {"Issue count", card.issue_count, kPermit},
        {"Version", card.version, kForeign},
        {"Fingerprints", fingerprint_text(card), kAllTypes},
        {"Photo", photo_note, kAllTypes},
    };
    std::string text;
    for (const auto &line : lines) {
        if ((line.types & type_bit(card.type)) == 0)
            continue;
        const bool optional_item =
            line.label == std::string("New address") || line.label == std::string("Fingerprints");
        if (optional_item && line.value.empty())
            continue; // not asked for
        text += labelled(line.label, escaped(line.value));
    }
    char times[128];
    std::snprintf(times, sizeof times, "find %.1f ms, select %.1f ms, read %.1f ms, decode %.3f ms",
                  card.find_us / kUsPerMs, card.select_us / kUsPerMs, card.read_us / kUsPerMs,
                  card.decode_us / kUsPerMs);
    return text + labelled("Times", times);
}

} // namespace vread
