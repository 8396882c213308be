// The virtual card: text block building, identity check character, card files.
#include "card.h"

#include <cctype>
#include <cstdlib>
#include <optional>

namespace vsim {
namespace {

constexpr uint16_t kSpaceUnit = 0x0020;
constexpr uint32_t kMaxBmp = 0xFFFF;
constexpr uint32_t kSurrogateFirst = 0xD800;
constexpr uint32_t kSurrogateLast = 0xDFFF;
constexpr int kIdWeights[17] = {7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2};
constexpr char kIdCheckChars[] = "10X98765432";
constexpr int kIdModulus = 11;
constexpr size_t kDateChars = 8;
constexpr const char *kLongTermText = "长期"; // what long-term cards carry as their end date

// Length of a UTF-8 sequence from its lead byte, 0 for a byte that cannot lead.
int utf8_sequence_length(uint8_t lead)
{
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0)
        return 2;
    if ((lead & 0xF0) == 0xE0)
        return 3;
    if ((lead & 0xF8) == 0xF0)
        return 4;
    return 0;
}

// Smallest code point each sequence length may carry (longer forms are overlong).
uint32_t utf8_minimum(int length)
{
    static const uint32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    return minimum[length];
}

void put_unit(std::array<uint8_t, kTextBlockBytes> &block, size_t at, uint16_t unit)
{
    block[at] = static_cast<uint8_t>(unit & 0xFF);
    block[at + 1] = static_cast<uint8_t>(unit >> 8);
}

bool all_digits(const std::string &s)
{
    for (const char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

bool is_leap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// YYYYMMDD naming a day of the Gregorian calendar.
bool valid_date(const std::string &s)
{
    if (s.size() != kDateChars || !all_digits(s))
        return false;
    const int year = std::atoi(s.substr(0, 4).c_str());
    const int month = std::atoi(s.substr(4, 2).c_str());
    const int day = std::atoi(s.substr(6, 2).c_str());
    static const int days_in_month[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year == 0 || month < 1 || month > 12 || day < 1)
        return false;
    const int last = days_in_month[month - 1] + (month == 2 && is_leap(year) ? 1 : 0);
    return day <= last;
}

std::string trim(const std::string &s)
{
    const char *blanks = " \t";
    const size_t first = s.find_first_not_of(blanks);
    if (first == std::string::npos)
        return "";
    const size_t last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse_photo_hex(const std::string &value, std::vector<uint8_t> &photo, std::string &why)
{
    if (value.size() != kPhotoBytes * 2) {
        why = "photo_hex needs " + std::to_string(kPhotoBytes * 2) + " hex digits, got " +
              std::to_string(value.size());
        return false;
    }
    photo.assign(kPhotoBytes, 0);
    for (size_t i = 0; i < kPhotoBytes; ++i) {
        const int hi = hex_value(value[2 * i]);
        const int lo = hex_value(value[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            why = "photo_hex holds a character that is not a hex digit";
            return false;
        }
        photo[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

bool parse_photo_seed(const std::string &value, std::vector<uint8_t> &photo, std::string &why)
{
    constexpr size_t kMaxSeedDigits = 10;
    if (value.empty() || value.size() > kMaxSeedDigits || !all_digits(value) ||
        std::strtoull(value.c_str(), nullptr, 10) > UINT32_MAX) {
        why = "photo_seed must be a decimal number from 0 to 4294967295";
        return false;
    }
    photo = photo_from_seed(static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10)));
    return true;
}

// Checks a text value against its block field: it must convert and fit.
bool check_text(const std::string &value, size_t width, std::string &why)
{
    std::vector<uint16_t> units;
    if (!utf8_to_ucs2(value, units, why))
        return false;
    if (units.size() * 2 > width) {
        why = "text of " + std::to_string(units.size()) + " characters, at most " +
              std::to_string(width / 2) + " fit";
        return false;
    }
    return true;
}

bool check_id_number(const std::string &value, std::string &why)
{
    if (value.size() != kIdNumberChars || !all_digits(value.substr(0, kIdNumberChars - 1))) {
        why = "id_number must be 17 digits and a check character";
        return false;
    }
    const char expected = id_check_char(value.substr(0, kIdNumberChars - 1));
    if (value.back() != expected) {
        why = std::string("id_number check character should be ") + expected;
        return false;
    }
    return true;
}

// Checks one key's value and stores it; false with `why` set on a bad value.
bool apply_value(const std::string &key, const std::string &value, CardFields &card,
                 std::string &why)
{
    if (key == "photo_seed")
        return parse_photo_seed(value, card.photo, why);
    if (key == "photo_hex")
        return parse_photo_hex(value, card.photo, why);

    size_t width = 0;
    for (const TextField &f : kTextFields) {
        if (key == f.key)
            width = f.width;
    }
    if (width == 0) {
        why = "unknown key \"" + key + "\"";
        return false;
    }
    if (key == "sex" && value != "1" && value != "2") {
        why = "sex must be 1 or 2";
        return false;
    }
    if (key == "nation" && (value.size() != 2 || !all_digits(value))) {
        why = "nation must be two digits";
        return false;
    }
    if ((key == "birth" || key == "valid_from") && !valid_date(value)) {
        why = key + " must be a date YYYYMMDD";
        return false;
    }
    if (key == "valid_to" && !valid_date(value) && value != kLongTermText) {
        why = std::string("valid_to must be a date YYYYMMDD or ") + kLongTermText;
        return false;
    }
    if (key == "id_number" && !check_id_number(value, why))
        return false;
    if (!check_text(value, width, why))
        return false;

    std::string CardFields::*const members[] = {
        &CardFields::name,      &CardFields::sex,        &CardFields::nation,
        &CardFields::birth,     &CardFields::address,    &CardFields::id_number,
        &CardFields::authority, &CardFields::valid_from, &CardFields::valid_to,
    };
    for (size_t i = 0; i < kTextFields.size(); ++i) {
        if (key == kTextFields[i].key)
            card.*members[i] = value;
    }
    return true;
}

const std::string *field_text(const CardFields &card, size_t index)
{
    const std::string *texts[] = {&card.name,      &card.sex,        &card.nation,
                                  &card.birth,     &card.address,    &card.id_number,
                                  &card.authority, &card.valid_from, &card.valid_to};
    return texts[index];
}

} // namespace

bool utf8_to_ucs2(const std::string &utf8, std::vector<uint16_t> &units, std::string &error)
{
    units.clear();
    size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<uint8_t>(utf8[i]);
        const int length = utf8_sequence_length(lead);
        if (length == 0 || i + length > utf8.size()) {
            error = "malformed UTF-8 at byte " + std::to_string(i);
            return false;
        }
        uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) {
                error = "malformed UTF-8 at byte " + std::to_string(i);
                return false;
            }
            cp = cp << 6 | (next & 0x3F);
        }
        if (cp < utf8_minimum(length) || (cp >= kSurrogateFirst && cp <= kSurrogateLast)) {
            error = "malformed UTF-8 at byte " + std::to_string(i);
            return false;
        }
        if (cp > kMaxBmp) {
            error = "character at byte " + std::to_string(i) + " does not fit UCS-2";
            return false;
        }
        units.push_back(static_cast<uint16_t>(cp));
        i += length;
    }
    return true;
}

std::array<uint8_t, kTextBlockBytes> build_text_block(const CardFields &card)
{
    std::array<uint8_t, kTextBlockBytes> block{};
    for (size_t at = 0; at < kTextBlockBytes; at += 2)
        put_unit(block, at, kSpaceUnit);

    for (size_t i = 0; i < kTextFields.size(); ++i) {
        std::vector<uint16_t> units;
        std::string ignored;
        utf8_to_ucs2(*field_text(card, i), units, ignored); // keeps what converted
        const size_t fit = kTextFields[i].width / 2;
        for (size_t u = 0; u < units.size() && u < fit; ++u)
            put_unit(block, kTextFields[i].offset + 2 * u, units[u]);
    }
    return block;
}

char id_check_char(const std::string &first17)
{
    if (first17.size() != kIdNumberChars - 1 || !all_digits(first17))
        return '\0';
    int sum = 0;
    for (size_t i = 0; i < first17.size(); ++i)
        sum += (first17[i] - '0') * kIdWeights[i];
    return kIdCheckChars[sum % kIdModulus];
}

std::vector<uint8_t> photo_from_seed(uint32_t seed)
{
    // splitmix64: cheap, well mixed, and the same on every machine.
    uint64_t state = seed;
    std::vector<uint8_t> photo(kPhotoBytes);
    for (size_t i = 0; i < kPhotoBytes; i += 8) {
        state += 0x9E3779B97F4A7C15ULL;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        for (size_t b = 0; b < 8 && i + b < kPhotoBytes; ++b)
            photo[i + b] = static_cast<uint8_t>(z >> (8 * b));
    }
    return photo;
}

bool parse_card_file(const std::string &text, CardFields &out, std::string &error)
{
    static const char kBom[] = "\xEF\xBB\xBF";
    CardFields card;
    card.photo = photo_from_seed(0);
    std::vector<std::string> seen;
    size_t pos = text.compare(0, 3, kBom) == 0 ? 3 : 0;
    int line_no = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_no;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;

        const std::string where = "line " + std::to_string(line_no) + ": ";
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            error = where + "expected key = value";
            return false;
        }
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        const std::string slot = key == "photo_hex" ? "photo_seed" : key; // one photo only
        for (const std::string &k : seen) {
            if (k == slot) {
                error = where + (slot == "photo_seed"
                                     ? std::string("only one photo_seed or photo_hex may be given")
                                     : "\"" + key + "\" given twice");
                return false;
            }
        }
        std::string why;
        if (!apply_value(key, value, card, why)) {
            error = where + why;
            return false;
        }
        seen.push_back(slot);
    }
    out = card;
    return true;
}

CardFields sample_card()
{
    CardFields card;
    card.name = "测试样卡";
    card.sex = "1";
    card.nation = "01";
    card.birth = "19900307";
    card.address = "虚拟省示例市模拟区测试路1号";
    card.id_number = "99000019900307001";
    card.id_number += id_check_char(card.id_number);
    card.authority = "示例市公安局模拟分局";
    card.valid_from = "20200101";
    card.valid_to = "20400101";
    card.photo = photo_from_seed(1);
    return card;
}

} // namespace vsim
