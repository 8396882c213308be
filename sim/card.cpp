// SPDX-License-Identifier: LGPL-2.1-or-later
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
constexpr size_t kCountryCodeChars = 3;
constexpr size_t kTwoDigits = 2;
constexpr size_t kAuthorityCodeDigits = 4;

struct TypeName {
    CardType type;
    const char *name;
};
constexpr TypeName kTypeNames[] = {
    {CardType::Resident, "resident"},
    {CardType::ForeignPermanent, "foreign-permanent"},
    {CardType::HmtPermit, "hmt-permit"},
};

// Every text key of the card file and the member it fills.
struct KeyMember {
    const char *key;
    std::string CardFields::*member;
};
constexpr KeyMember kKeyMembers[] = {
    {"name", &CardFields::name},
    {"sex", &CardFields::sex},
    {"nation", &CardFields::nation},
    {"birth", &CardFields::birth},
    {"address", &CardFields::address},
    {"id_number", &CardFields::id_number},
    {"authority", &CardFields::authority},
    {"valid_from", &CardFields::valid_from},
    {"valid_to", &CardFields::valid_to},
    {"name_en", &CardFields::name_en},
    {"nation_code3", &CardFields::nation_code3},
    {"version", &CardFields::version},
    {"authority_code", &CardFields::authority_code},
    {"pass_number", &CardFields::pass_number},
    {"issue_count", &CardFields::issue_count},
};

std::string CardFields::*member_of(const std::string &key)
{
    for (const KeyMember &k : kKeyMembers) {
        if (key == k.key)
            return k.member;
    }
    return nullptr;
}

// The field of `key` in a type's layout; nullptr when the type has none.
const TextField *field_of(CardType type, const std::string &key)
{
    for (const TextField &f : text_layout(type)) {
        if (key == f.key)
            return &f;
    }
    return nullptr;
}

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

bool all_letters_or_digits(const std::string &s)
{
    for (const char c : s) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

bool all_capitals(const std::string &s)
{
    for (const char c : s) {
        if (c < 'A' || c > 'Z')
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

// "7" or "7, 8": one template per seed, at most two.
bool parse_fingerprint_seeds(const std::string &value, std::vector<std::vector<uint8_t>> &out,
                             std::string &why)
{
    std::vector<std::vector<uint8_t>> templates;
    size_t start = 0;
    while (start <= value.size()) {
        const size_t comma = value.find(',', start);
        const std::string seed = trim(
            value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        std::vector<uint8_t> ignored;
        if (!parse_photo_seed(seed, ignored, why) || templates.size() == kFingerprintsMax) {
            why = "fingerprint_seeds must be one or two decimal seeds separated by a comma";
            return false;
        }
        templates.push_back(
            fingerprint_from_seed(static_cast<uint32_t>(std::strtoul(seed.c_str(), nullptr, 10))));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    out = std::move(templates);
    return true;
}

// One character, written as the type marker.
bool parse_marker(const std::string &value, uint16_t &marker, std::string &why)
{
    std::vector<uint16_t> units;
    if (!utf8_to_ucs2(value, units, why) || units.size() != 1 || units[0] == 0x0020) {
        why = "marker must be one character other than a space";
        return false;
    }
    marker = units[0];
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

bool digits_of_length(const std::string &value, size_t length)
{
    return value.size() == length && all_digits(value);
}

// The checks a value must pass beyond fitting its field; false with `why` set.
bool check_value(CardType type, const std::string &key, const std::string &value, std::string &why)
{
    struct Rule {
        const char *key;
        bool (*ok)(const std::string &);
        const char *why;
    };
    static const Rule rules[] = {
        {"sex", [](const std::string &v) { return v == "1" || v == "2"; }, "sex must be 1 or 2"},
        {"nation", [](const std::string &v) { return digits_of_length(v, kTwoDigits); },
         "nation must be two digits"},
        {"nation_code3",
         [](const std::string &v) { return v.size() == kCountryCodeChars && all_capitals(v); },
         "nation_code3 must be three capital letters"},
        {"version", [](const std::string &v) { return digits_of_length(v, kTwoDigits); },
         "version must be two digits"},
        {"issue_count", [](const std::string &v) { return digits_of_length(v, kTwoDigits); },
         "issue_count must be two digits"},
        {"authority_code",
         [](const std::string &v) { return digits_of_length(v, kAuthorityCodeDigits); },
         "authority_code must be four digits"},
        {"pass_number", [](const std::string &v) { return all_letters_or_digits(v); },
         "pass_number must be letters and digits"},
        {"birth", [](const std::string &v) { return valid_date(v); },
         "birth must be a date YYYYMMDD"},
        {"valid_from", [](const std::string &v) { return valid_date(v); },
         "valid_from must be a date YYYYMMDD"},
        {"valid_to", [](const std::string &v) { return valid_date(v) || v == kLongTermText; },
         "valid_to must be a date YYYYMMDD or 长期"},
    };
    for (const Rule &r : rules) {
        if (key == r.key && !r.ok(value)) {
            why = r.why;
            return false;
        }
    }
    if (key != "id_number")
        return true;
    if (type != CardType::ForeignPermanent)
        return check_id_number(value, why);
    if (!all_letters_or_digits(value)) {
        why = "id_number of a foreign-permanent card must be letters and digits";
        return false;
    }
    return true;
}

// Checks one key's value against the card's type and stores it; false with
// `why` set on a bad value.
bool apply_value(const std::string &key, const std::string &value, CardFields &card,
                 std::string &why)
{
    if (key == "photo_seed")
        return parse_photo_seed(value, card.photo, why);
    if (key == "photo_hex")
        return parse_photo_hex(value, card.photo, why);
    if (key == "fingerprint_seeds")
        return parse_fingerprint_seeds(value, card.fingerprints, why);
    if (key == "appended_address") {
        if (!check_text(value, kAppendedAddressBytes, why))
            return false;
        card.appended_address = value;
        return true;
    }
    if (key == "marker")
        return parse_marker(value, card.marker, why);

    std::string CardFields::*const member = member_of(key);
    if (member == nullptr) {
        why = "unknown key \"" + key + "\"";
        return false;
    }
    const TextField *field = field_of(card.type, key);
    if (field == nullptr) {
        why = "\"" + key + "\" is not a field of a " + card_type_name(card.type) + " card";
        return false;
    }
    if (!check_value(card.type, key, value, why) || !check_text(value, field->width, why))
        return false;
    card.*member = value;
    return true;
}

struct Entry {
    int line_no;
    std::string key;
    std::string value;
};

// Splits a card file into its key = value lines; false with `error` set on a
// line that is not one, or a key given twice.
bool split_entries(const std::string &text, std::vector<Entry> &entries, std::string &error)
{
    static const char kBom[] = "\xEF\xBB\xBF";
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
        const std::string slot = key == "photo_hex" ? "photo_seed" : key; // one photo only
        for (const Entry &e : entries) {
            const std::string seen = e.key == "photo_hex" ? "photo_seed" : e.key;
            if (seen == slot) {
                error = where + (slot == "photo_seed"
                                     ? std::string("only one photo_seed or photo_hex may be given")
                                     : "\"" + key + "\" given twice");
                return false;
            }
        }
        entries.push_back({line_no, key, trim(line.substr(eq + 1))});
    }
    return true;
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

std::string *card_field(CardFields &card, const std::string &key)
{
    std::string CardFields::*const member = member_of(key);
    return member != nullptr ? &(card.*member) : nullptr;
}

TextLayout text_layout(CardType type)
{
    switch (type) {
    case CardType::ForeignPermanent:
        return {kForeignPermanentFields.data(), kForeignPermanentFields.size()};
    case CardType::HmtPermit:
        return {kHmtPermitFields.data(), kHmtPermitFields.size()};
    case CardType::Resident:
        break;
    }
    return {kTextFields.data(), kTextFields.size()};
}

const char *card_type_name(CardType type)
{
    for (const TypeName &t : kTypeNames) {
        if (t.type == type)
            return t.name;
    }
    return "resident";
}

bool card_type_from_name(const std::string &name, CardType &type)
{
    for (const TypeName &t : kTypeNames) {
        if (name == t.name) {
            type = t.type;
            return true;
        }
    }
    return false;
}

std::array<uint8_t, kTextBlockBytes> build_text_block(const CardFields &card)
{
    std::array<uint8_t, kTextBlockBytes> block{};
    for (size_t at = 0; at < kTextBlockBytes; at += 2)
        put_unit(block, at, kSpaceUnit);

    for (const TextField &f : text_layout(card.type)) {
        std::vector<uint16_t> units;
        std::string ignored;
        utf8_to_ucs2(card.*member_of(f.key), units, ignored); // keeps what converted
        const size_t fit = f.width / 2;
        for (size_t u = 0; u < units.size() && u < fit; ++u)
            put_unit(block, f.offset + 2 * u, units[u]);
    }
    if (card.marker != 0)
        put_unit(block, kTypeMarkerOffset, card.marker);
    else if (card.type == CardType::ForeignPermanent)
        put_unit(block, kTypeMarkerOffset, kMarkerForeignPermanent);
    else if (card.type == CardType::HmtPermit)
        put_unit(block, kTypeMarkerOffset, kMarkerHmtPermit);
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

namespace {

// splitmix64: cheap, well mixed, and the same on every machine.
std::vector<uint8_t> bytes_from_seed(uint64_t seed, size_t count)
{
    uint64_t state = seed;
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; i += 8) {
        state += 0x9E3779B97F4A7C15ULL;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        for (size_t b = 0; b < 8 && i + b < count; ++b)
            bytes[i + b] = static_cast<uint8_t>(z >> (8 * b));
    }
    return bytes;
}

// Templates draw from seeds of their own, apart from the photos'.
constexpr uint64_t kFingerprintSeedBase = 1ULL << 32;

} // namespace

std::vector<uint8_t> photo_from_seed(uint32_t seed)
{
    return bytes_from_seed(seed, kPhotoBytes);
}

std::vector<uint8_t> fingerprint_from_seed(uint32_t seed)
{
    return bytes_from_seed(kFingerprintSeedBase + seed, kFingerprintBytes);
}

std::array<uint8_t, kAppendedAddressBytes> build_appended_address(const CardFields &card)
{
    std::array<uint8_t, kAppendedAddressBytes> bytes{};
    std::vector<uint16_t> units;
    std::string ignored;
    utf8_to_ucs2(card.appended_address, units, ignored); // keeps what converted
    for (size_t u = 0; u < kAppendedAddressBytes / 2; ++u) {
        const uint16_t unit = u < units.size() ? units[u] : 0x0020;
        bytes[2 * u] = static_cast<uint8_t>(unit & 0xFF);
        bytes[2 * u + 1] = static_cast<uint8_t>(unit >> 8);
    }
    return bytes;
}

bool parse_card_file(const std::string &text, CardFields &out, std::string &error)
{
    std::vector<Entry> entries;
    if (!split_entries(text, entries, error))
        return false;

    // The type decides how every other key is checked, so it goes first.
    CardFields card;
    card.photo = photo_from_seed(0);
    for (const Entry &e : entries) {
        if (e.key == "type" && !card_type_from_name(e.value, card.type)) {
            error = "line " + std::to_string(e.line_no) +
                    ": type must be resident, foreign-permanent or hmt-permit";
            return false;
        }
    }
    for (const Entry &e : entries) {
        std::string why;
        if (e.key != "type" && !apply_value(e.key, e.value, card, why)) {
            error = "line " + std::to_string(e.line_no) + ": " + why;
            return false;
        }
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

CardFields sample_foreign_permanent_card()
{
    CardFields card;
    card.type = CardType::ForeignPermanent;
    card.name_en = "SPECIMEN, TEST SAMPLE CARD";
    card.sex = "2";
    card.id_number = "UTO990085031201";
    card.nation_code3 = "UTO"; // the made-up state of specimen travel documents
    card.name = "测试外籍样卡";
    card.valid_from = "20210601";
    card.valid_to = "20310601";
    card.birth = "19850312";
    card.version = "01";
    card.authority_code = "9900";
    card.photo = photo_from_seed(2);
    return card;
}

CardFields sample_hmt_permit_card()
{
    CardFields card;
    card.type = CardType::HmtPermit;
    card.name = "测试居住证样卡";
    card.sex = "2";
    card.birth = "19950615";
    card.address = "虚拟省示例市模拟区样例街道测试大厦二十八层";
    card.id_number = "99000019950615004";
    card.id_number += id_check_char(card.id_number); // X
    card.authority = "示例市公安局模拟分局";
    card.valid_from = "20230101";
    card.valid_to = "20280101";
    card.pass_number = "X99000001";
    card.issue_count = "01";
    card.photo = photo_from_seed(3);
    return card;
}

CardFields sample_card_with_fingerprints()
{
    CardFields card = sample_card();
    card.fingerprints = {fingerprint_from_seed(1), fingerprint_from_seed(2)};
    card.appended_address = "虚拟省示例市模拟区迁入路8号";
    return card;
}

} // namespace vsim
