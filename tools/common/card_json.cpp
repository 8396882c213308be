// SPDX-License-Identifier: LGPL-2.1-or-later
// The JSON form of a vessik_card (see card_json.h).
#include "card_json.h"

#include <algorithm>
#include <cstring>

namespace vessik_tools {

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64Pad = '=';
constexpr int kBase64GroupBytes = 3;
constexpr int kBase64GroupChars = 4;
constexpr int kBitsPerChar = 6;
constexpr unsigned kCharMask = 0x3F;
constexpr unsigned kByteMask = 0xFF;
constexpr int kNotBase64 = -1;

// A fixed card array as text: up to its first NUL, never past its end.
template <size_t N> std::string field(const char (&text)[N])
{
    return std::string(text, strnlen(text, N));
}

int base64_value(char c)
{
    const char *at = std::strchr(kBase64Alphabet, c);
    return (c != '\0' && at != nullptr) ? static_cast<int>(at - kBase64Alphabet) : kNotBase64;
}

} // namespace

const char *item_state_name(int state)
{
    switch (state) {
    case VESSIK_ITEM_PRESENT:
        return "present";
    case VESSIK_ITEM_ABSENT:
        return "absent";
    case VESSIK_ITEM_UNSUPPORTED:
        return "unsupported";
    case VESSIK_ITEM_NOT_READ:
        return "not-read";
    default:
        return "not-asked";
    }
}

const char *id_check_name(int id_check)
{
    switch (id_check) {
    case VESSIK_ID_CHECK_OK:
        return "ok";
    case VESSIK_ID_CHECK_WRONG:
        return "wrong";
    default:
        return "not-applicable";
    }
}

// The names of the fields whose card text was damaged, in the order of
// their VESSIK_FIELD_* bits.
Json damaged_field_names(unsigned bits)
{
    static const struct {
        unsigned bit;
        const char *name;
    } kFields[] = {
        {VESSIK_FIELD_NAME, "name"},
        {VESSIK_FIELD_NAME_EN, "name_en"},
        {VESSIK_FIELD_SEX, "sex"},
        {VESSIK_FIELD_NATION_CODE, "nation_code"},
        {VESSIK_FIELD_BIRTH, "birth"},
        {VESSIK_FIELD_ADDRESS, "address"},
        {VESSIK_FIELD_ID_NUMBER, "id_number"},
        {VESSIK_FIELD_AUTHORITY, "authority"},
        {VESSIK_FIELD_VALID_FROM, "valid_from"},
        {VESSIK_FIELD_VALID_TO, "valid_to"},
        {VESSIK_FIELD_PASS_NUMBER, "pass_number"},
        {VESSIK_FIELD_ISSUE_COUNT, "issue_count"},
        {VESSIK_FIELD_VERSION, "version"},
        {VESSIK_FIELD_APPENDED_ADDRESS, "appended_address"},
        {VESSIK_FIELD_TYPE_MARKER, "type_marker"},
    };
    Json names = Json::array();
    for (const auto &f : kFields) {
        if ((bits & f.bit) != 0)
            names.push_back(f.name);
    }
    return names;
}

Json card_to_json(const vessik_card &card, const std::string &photo_image)
{
    Json j;
    j["type"] = vessik_card_type_name(card.type);
    j["name"] = field(card.name);
    j["name_en"] = field(card.name_en);
    j["sex"] = field(card.sex);
    j["nation_code"] = field(card.nation_code);
    j["nation_name"] = field(card.nation_name);
    j["birth"] = field(card.birth);
    j["address"] = field(card.address);
    j["id_number"] = field(card.id_number);
    j["id_check"] = id_check_name(card.id_check);
    j["authority"] = field(card.authority);
    j["valid_from"] = field(card.valid_from);
    j["valid_to"] = field(card.valid_to);
    j["pass_number"] = field(card.pass_number);
    j["issue_count"] = field(card.issue_count);
    j["version"] = field(card.version);
    j["times_us"] = {{"find", card.find_us},
                     {"select", card.select_us},
                     {"read", card.read_us},
                     {"decode", card.decode_us}};
    j["text_block"] = base64_encode(card.text_block, sizeof(card.text_block));
    j["photo"] = base64_encode(card.photo, sizeof(card.photo));
    j["photo_image"] = photo_image.empty() ? Json(nullptr) : Json(photo_image);
    // What a read asks for beside the text and the photo appears only when
    // asked, so a plain read's object stays as it always was.
    if (card.type == VESSIK_CARD_UNKNOWN)
        j["type_marker"] = field(card.type_marker);
    if (card.fingerprint_state != VESSIK_ITEM_NOT_ASKED) {
        const unsigned bytes =
            std::min<unsigned>(card.fingerprint_bytes, sizeof(card.fingerprints));
        j["fingerprint_state"] = item_state_name(card.fingerprint_state);
        j["fingerprint_count"] = card.fingerprint_count;
        j["fingerprints"] = base64_encode(card.fingerprints, bytes);
    }
    if (card.appended_address_state != VESSIK_ITEM_NOT_ASKED) {
        const unsigned bytes =
            std::min<unsigned>(card.appended_address_raw_bytes, sizeof(card.appended_address_raw));
        j["appended_address_state"] = item_state_name(card.appended_address_state);
        j["appended_address"] = field(card.appended_address);
        j["appended_address_raw"] = base64_encode(card.appended_address_raw, bytes);
    }
    // Which texts are not the card's exactly; a card read whole says nothing.
    if (card.damaged_fields != 0)
        j["damaged_fields"] = damaged_field_names(card.damaged_fields);
    return j;
}

std::string json_text(const Json &value, int indent)
{
    return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

std::string base64_encode(const unsigned char *data, size_t size)
{
    std::string out;
    out.reserve((size + kBase64GroupBytes - 1) / kBase64GroupBytes * kBase64GroupChars);
    for (size_t i = 0; i < size; i += kBase64GroupBytes) {
        const size_t n = size - i < kBase64GroupBytes ? size - i : kBase64GroupBytes;
        unsigned group = 0;
        for (size_t k = 0; k < kBase64GroupBytes; ++k)
            group = (group << 8) | (k < n ? data[i + k] : 0u);
        for (size_t k = 0; k < kBase64GroupChars; ++k) {
            const int shift = kBitsPerChar * (kBase64GroupChars - 1 - static_cast<int>(k));
            out += k <= n ? kBase64Alphabet[(group >> shift) & kCharMask] : kBase64Pad;
        }
    }
    return out;
}

bool base64_decode(const std::string &text, std::vector<unsigned char> &out)
{
    out.clear();
    if (text.size() % kBase64GroupChars != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += kBase64GroupChars) {
        const bool last = i + kBase64GroupChars == text.size();
        int pad = 0;
        unsigned group = 0;
        for (size_t k = 0; k < kBase64GroupChars; ++k) {
            const char c = text[i + k];
            int v = 0;
            if (c == kBase64Pad) {
                // Padding only ends the last group, after at least two characters.
                if (!last || k < 2)
                    return false;
                ++pad;
            } else {
                v = base64_value(c);
                if (v == kNotBase64 || pad > 0)
                    return false;
            }
            group = (group << kBitsPerChar) | static_cast<unsigned>(v);
        }
        const int bytes = kBase64GroupBytes - pad;
        // The bits under the padding must be zero, or two texts decode alike.
        if (pad > 0 && (group & ((1u << (8 * pad)) - 1)) != 0)
            return false;
        for (int k = 0; k < bytes; ++k)
            out.push_back(static_cast<unsigned char>((group >> (8 * (2 - k))) & kByteMask));
    }
    return true;
}

} // namespace vessik_tools
