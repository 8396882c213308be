// SPDX-License-Identifier: LGPL-2.1-or-later
// The capture's lines, written and read (see capture_format.h).
#include "capture_format.h"

#include <cctype>
#include <iterator>

namespace capture_format {
namespace {

using nlohmann::json;

constexpr int kFormat = 1;
constexpr int kHexBase = 16;
constexpr int kPercentile = 90;
constexpr int kPercent = 100;

json StatsRecord(const TimeStats &s)
{
    return {{"min", s.min}, {"median", s.median}, {"p90", s.p90}, {"max", s.max}};
}

// A field that must be a string; false with `why` set otherwise.
bool StringField(const json &record, const char *name, std::string *out, std::string &why)
{
    const auto it = record.find(name);
    if (it == record.end()) {
        why = std::string("no \"") + name + "\"";
        return false;
    }
    if (!it->is_string()) {
        why = std::string("\"") + name + "\" is not a string";
        return false;
    }
    *out = it->get<std::string>();
    return true;
}

// An answer's time: whole microseconds up to kLatestAnswerUs, or -1 (none came).
bool TimeField(const json &record, const char *name, long long *out, std::string &why)
{
    const auto it = record.find(name);
    if (it == record.end()) {
        why = std::string("no \"") + name + "\"";
        return false;
    }
    const bool in_range = it->is_number_unsigned()
                              ? it->get<uint64_t>() <= static_cast<uint64_t>(kLatestAnswerUs)
                              : it->is_number_integer() && it->get<long long>() >= -1 &&
                                    it->get<long long>() <= kLatestAnswerUs;
    if (!in_range) {
        why = std::string("\"") + name + "\" is not a time in microseconds (-1 to " +
              std::to_string(kLatestAnswerUs) + ")";
        return false;
    }
    *out = it->get<long long>();
    return true;
}

// "2001" -> 0x2001.
bool ParseCommand(const std::string &hex, uint16_t *command)
{
    std::vector<uint8_t> bytes;
    if (!ParseHex(hex, &bytes) || bytes.size() != 2)
        return false;
    *command = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    return true;
}

} // namespace

std::string Hex(const std::vector<uint8_t> &bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::string CommandHex(const uint8_t (&command)[2])
{
    return Hex(std::vector<uint8_t>(std::begin(command), std::end(command)));
}

bool ParseHex(const std::string &hex, std::vector<uint8_t> *out)
{
    if (hex.size() % 2 != 0)
        return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        if (std::isxdigit(static_cast<unsigned char>(hex[i])) == 0 ||
            std::isxdigit(static_cast<unsigned char>(hex[i + 1])) == 0)
            return false;
        out->push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, kHexBase)));
    }
    return true;
}

TimeStats StatsOf(std::vector<long long> times)
{
    TimeStats s;
    if (times.empty())
        return s;
    std::sort(times.begin(), times.end());
    s.count = times.size();
    s.min = times.front();
    s.max = times.back();
    s.median = LowerMedian(times);
    const size_t rank = (times.size() * kPercentile + kPercent - 1) / kPercent; // ceil
    s.p90 = times[rank - 1];
    return s;
}

json HeaderRecord(const Header &header)
{
    return {{"kind", "capture"},
            {"format", kFormat},
            {"kit_version", header.kit_version},
            {"api_version", header.api_version},
            {"reads", header.reads},
            {"transport", header.serial ? "serial" : "usb"},
            {"module_id_len", header.module_id_len},
            {"answer_driven", header.answer_driven}};
}

json FrameRecord(const Frame &f)
{
    json line = {{"kind", "frame"},
                 {"read", f.read},
                 {"t_us", f.t_us},
                 {"dir", f.answer ? "in" : "out"},
                 {"link", f.link},
                 {"ep", f.stage},
                 {"cmd", CommandHex(f.command)}};
    if (f.answer) {
        line["first_us"] = f.first_us;
        line["last_us"] = f.last_us;
        line["len"] = f.length;
    }
    line["bytes"] = Hex(f.bytes);
    line["redaction"] = f.redaction;
    return line;
}

json AnswerTimesRecord(const std::string &command_hex, const TimeStats &first,
                       const TimeStats &last)
{
    return {{"kind", "answer_times"},
            {"cmd", command_hex},
            {"count", first.count},
            {"first_us", StatsRecord(first)},
            {"last_us", StatsRecord(last)}};
}

json RedactionRecord(const json &answers, bool keep_module_id)
{
    return {{"kind", "redaction"},
            {"answers", answers},
            {"module_id", keep_module_id ? "kept" : "zeroed"},
            {"usb_serial_number", "removed"},
            {"replacement", "the kit's sample card (region 990000, made up)"}};
}

std::string Text(const std::vector<json> &lines)
{
    std::string text;
    for (const json &line : lines)
        text += line.dump() + "\n";
    return text;
}

Line ReadLine(const std::string &text, RecordedAnswer *answer, std::string &why)
{
    const json record = json::parse(text, nullptr, false);
    if (record.is_discarded() || !record.is_object()) {
        why = "not a JSON object";
        return Line::Malformed;
    }
    std::string kind;
    std::string dir;
    if (!StringField(record, "kind", &kind, why))
        return Line::Malformed;
    if (kind != "frame")
        return Line::Other;
    if (!StringField(record, "dir", &dir, why))
        return Line::Malformed;
    if (dir != "in" && dir != "out") {
        why = "\"dir\" is neither \"in\" nor \"out\"";
        return Line::Malformed;
    }
    if (dir == "out")
        return Line::Other;
    std::string command;
    std::string hex;
    if (!StringField(record, "cmd", &command, why) ||
        !TimeField(record, "first_us", &answer->first_us, why) ||
        !StringField(record, "bytes", &hex, why))
        return Line::Malformed;
    if (!ParseCommand(command, &answer->command)) {
        why = "\"cmd\" is not a command (four hex digits)";
        return Line::Malformed;
    }
    if (!ParseHex(hex, &answer->bytes)) {
        why = "\"bytes\" is not hex digits in pairs";
        return Line::Malformed;
    }
    return Line::Answer;
}

} // namespace capture_format
