// SPDX-License-Identifier: LGPL-2.1-or-later
// The model's fault and realism knobs by name (see fault_names.h).
#include "fault_names.h"

#include <cerrno>
#include <cstdlib>

namespace vsim {

namespace {

constexpr int kHexBase = 16;
constexpr int kDecimalBase = 10;

// What a fault's value looks like.
enum class FaultValue {
    None,     // a switch
    Number,   // a decimal integer
    Endpoint, // EP[:N]: hexadecimal endpoint, Nth transfer on it (0 or none: every one)
    Status,   // an optional failure name (busy when left out)
};

struct FaultArg {
    long number = 0;
    EndpointFault endpoint;
    UsbStatus status = UsbStatus::Busy;
};

struct FaultSpec {
    const char *name;
    FaultValue value;
    long minimum;       // for Number
    const char *syntax; // what follows the name
    const char *help;
    void (*apply)(Knobs &, const FaultArg &);
};

const FaultSpec kFaults[] = {
    {"no-refind", FaultValue::None, 0, "",
     "a card once read is not found again until it is re-presented",
     [](Knobs &k, const FaultArg &) { k.refind_after_read = false; }},
    {"select-names-card", FaultValue::None, 0, "",
     "the select answer carries bytes of the card's own instead of zeros",
     [](Knobs &k, const FaultArg &) { k.select_names_card = true; }},
    {"read-delay-us", FaultValue::Number, 0, "=US",
     "the read answer is ready this long after the command",
     [](Knobs &k, const FaultArg &a) { k.read_delay_us = static_cast<uint64_t>(a.number); }},
    {"read-in-pieces", FaultValue::Number, 0, "=N",
     "the read answer leaves in N pieces spread over the module's read time",
     [](Knobs &k, const FaultArg &a) { k.read_pieces = static_cast<int>(a.number); }},
    {"fingerprint-read-silent", FaultValue::None, 0, "",
     "30 10 (text, photo and fingerprints) gets no answer at all",
     [](Knobs &k, const FaultArg &) { k.ignore_fingerprint_read = true; }},
    {"fingerprint-read-refused", FaultValue::None, 0, "",
     "30 10 is answered as a command the module does not know, as an older module does",
     [](Knobs &k, const FaultArg &) { k.refuse_fingerprint_read = true; }},
    {"answer-delay-us", FaultValue::Number, 0, "=US",
     "every other answer is ready this long after its command",
     [](Knobs &k, const FaultArg &a) { k.answer_delay_us = static_cast<uint64_t>(a.number); }},
    {"claim-fails", FaultValue::Status, 0, "[=STATUS]", "claiming interface 0 fails (default busy)",
     [](Knobs &k, const FaultArg &a) { k.claim_error = a.status; }},
    {"set-config-fails", FaultValue::Status, 0, "[=STATUS]", "setting the configuration fails",
     [](Knobs &k, const FaultArg &a) { k.set_configuration_error = a.status; }},
    {"kernel-driver", FaultValue::None, 0, "",
     "a kernel driver holds interface 0 until it is detached",
     [](Knobs &k, const FaultArg &) { k.kernel_driver_active = true; }},
    {"card-arrives-after-finds", FaultValue::Number, 0, "=N",
     "a presented card shows after N finds",
     [](Knobs &k, const FaultArg &a) { k.card_arrives_after_finds = static_cast<int>(a.number); }},
    {"card-leaves-after-finds", FaultValue::Number, 0, "=N",
     "the card is lifted after the Nth find that saw it",
     [](Knobs &k, const FaultArg &a) { k.card_leaves_after_finds = static_cast<int>(a.number); }},
    {"select-fails", FaultValue::Number, -1, "=N", "the first N selects fail (-1: all)",
     [](Knobs &k, const FaultArg &a) { k.select_fails = static_cast<int>(a.number); }},
    {"read-short", FaultValue::Number, 0, "=BYTES",
     "the read answer's body stage carries only BYTES",
     [](Knobs &k, const FaultArg &a) { k.read_answer_body_bytes = static_cast<int>(a.number); }},
    {"read-length", FaultValue::Number, 0, "=N", "the read answer announces length N",
     [](Knobs &k, const FaultArg &a) { k.read_length_field = static_cast<int>(a.number); }},
    {"damage-preamble", FaultValue::None, 0, "", "every module answer starts 55 instead of AA",
     [](Knobs &k, const FaultArg &) { k.damage_preamble = true; }},
    {"damage-check", FaultValue::None, 0, "", "every module answer has a wrong check byte",
     [](Knobs &k, const FaultArg &) { k.damage_check_byte = true; }},
    {"in-timeout", FaultValue::Endpoint, 0, "=EP[:N]", "IN stages on EP run into their timeout",
     [](Knobs &k, const FaultArg &a) { k.in_timeout = a.endpoint; }},
    {"in-partial", FaultValue::Endpoint, 0, "=EP[:N]",
     "IN stages on EP deliver partial-bytes, then time out",
     [](Knobs &k, const FaultArg &a) { k.in_partial = a.endpoint; }},
    {"partial-bytes", FaultValue::Number, 0, "=BYTES", "what in-partial lets through (default 3)",
     [](Knobs &k, const FaultArg &a) { k.in_partial_bytes = static_cast<int>(a.number); }},
    {"out-stall", FaultValue::Endpoint, 0, "=EP[:N]", "OUT stages on EP stall",
     [](Knobs &k, const FaultArg &a) { k.out_stall = a.endpoint; }},
    {"stall-clears", FaultValue::None, 0, "", "a stalled OUT endpoint recovers without clear_halt",
     [](Knobs &k, const FaultArg &) { k.stall_sticks = false; }},
    {"unplug-after-transfers", FaultValue::Number, 0, "=N",
     "the reader drops off the bus after N transfers",
     [](Knobs &k, const FaultArg &a) { k.unplug_after_transfers = static_cast<int>(a.number); }},
    {"controller-silent", FaultValue::None, 0, "", "the controller answers no probe or restart",
     [](Knobs &k, const FaultArg &) { k.controller_silent = true; }},
    {"controller-answers-probe", FaultValue::Number, 0, "=N", "only the Nth probe is answered",
     [](Knobs &k, const FaultArg &a) { k.controller_answers_probe = static_cast<int>(a.number); }},
    {"mcu-write-stalls", FaultValue::Number, -1, "=N",
     "the first N controller writes stall (-1: all)",
     [](Knobs &k, const FaultArg &a) { k.mcu_write_stalls = static_cast<int>(a.number); }},
};

// Faults of the serial line, for the serial module alone (--serial). A slow
// module is the model's own answer-delay-us and read-delay-us.
struct SerialFaultSpec {
    const char *name;
    bool takes_number;
    long minimum;
    const char *syntax;
    const char *help;
    void (*apply)(SerialKnobs &, long);
};

const SerialFaultSpec kSerialFaults[] = {
    {"serial-pieces", true, 1, "=BYTES", "serial answers leave in pieces of BYTES",
     [](SerialKnobs &k, long n) { k.piece_bytes = static_cast<size_t>(n); }},
    {"serial-pause-us", true, 0, "=US", "with this pause between the pieces",
     [](SerialKnobs &k, long n) { k.piece_pause_us = static_cast<uint64_t>(n); }},
    {"serial-corrupt-checks", true, 0, "=N", "the next N serial answers carry a wrong check byte",
     [](SerialKnobs &k, long n) { k.corrupt_checks = static_cast<int>(n); }},
    {"serial-noise", true, 0, "=BYTES", "BYTES of line noise before every serial answer",
     [](SerialKnobs &k, long n) { k.noise_bytes = static_cast<size_t>(n); }},
    {"serial-ack-at-new-rate", false, 0, "",
     "a rate change (60 xx) is acknowledged at the new rate, not the old",
     [](SerialKnobs &k, long) { k.ack_at_new_rate = true; }},
    {"serial-wire-time", false, 0, "",
     "serial bytes take their time on the wire at the line rate (10 bits a byte)",
     [](SerialKnobs &k, long) { k.wire_time = true; }},
};

const SerialFaultSpec *find_serial_fault(const std::string &fault_text)
{
    const std::string name = fault_text.substr(0, fault_text.find('='));
    for (const SerialFaultSpec &f : kSerialFaults) {
        if (name == f.name)
            return &f;
    }
    return nullptr;
}

struct StatusName {
    const char *name;
    UsbStatus status;
};
const StatusName kStatusNames[] = {
    {"busy", UsbStatus::Busy},          {"access", UsbStatus::Access},
    {"io", UsbStatus::IoError},         {"not-found", UsbStatus::NotFound},
    {"no-device", UsbStatus::NoDevice}, {"invalid", UsbStatus::InvalidParam},
};

bool parse_endpoint(const std::string &text, EndpointFault *fault)
{
    const size_t colon = text.find(':');
    long ep = 0;
    long nth = 0;
    if (!parse_long(text.substr(0, colon), kHexBase, &ep) || ep <= 0 || ep > 0xFF)
        return false;
    if (colon != std::string::npos &&
        (!parse_long(text.substr(colon + 1), kDecimalBase, &nth) || nth < 0))
        return false;
    fault->ep = static_cast<uint8_t>(ep);
    fault->nth = static_cast<int>(nth);
    return true;
}

} // namespace

bool parse_long(const std::string &text, int base, long *value)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    *value = std::strtol(text.c_str(), &end, base);
    return errno == 0 && *end == '\0';
}

bool apply_fault(const std::string &fault_text, Knobs &knobs, std::string &error)
{
    const size_t eq = fault_text.find('=');
    const std::string name = fault_text.substr(0, eq);
    const bool has_value = eq != std::string::npos;
    const std::string value = has_value ? fault_text.substr(eq + 1) : std::string();

    for (const FaultSpec &f : kFaults) {
        if (name != f.name)
            continue;
        FaultArg arg;
        bool ok = true;
        switch (f.value) {
        case FaultValue::None:
            ok = !has_value;
            break;
        case FaultValue::Number:
            ok = parse_long(value, kDecimalBase, &arg.number) && arg.number >= f.minimum;
            break;
        case FaultValue::Endpoint:
            ok = parse_endpoint(value, &arg.endpoint);
            break;
        case FaultValue::Status:
            if (has_value) {
                ok = false;
                for (const StatusName &s : kStatusNames) {
                    if (value == s.name) {
                        arg.status = s.status;
                        ok = true;
                    }
                }
            }
            break;
        }
        if (!ok) {
            error = "--fault " + fault_text + ": " +
                    (f.value == FaultValue::None ? std::string(f.name) + " takes no value"
                                                 : std::string("expected ") + f.name + f.syntax);
            return false;
        }
        f.apply(knobs, arg);
        return true;
    }
    error = "--fault " + fault_text + ": no such fault (see --help)";
    return false;
}

bool is_serial_fault(const std::string &fault_text)
{
    return find_serial_fault(fault_text) != nullptr;
}

bool apply_serial_fault(const std::string &fault_text, SerialKnobs &knobs, std::string &error)
{
    const SerialFaultSpec *f = find_serial_fault(fault_text);
    if (f == nullptr) {
        error = "--fault " + fault_text + ": no such fault (see --help)";
        return false;
    }
    const size_t eq = fault_text.find('=');
    long number = 0;
    const bool ok = f->takes_number
                        ? eq != std::string::npos &&
                              parse_long(fault_text.substr(eq + 1), kDecimalBase, &number) &&
                              number >= f->minimum
                        : eq == std::string::npos;
    if (!ok) {
        error = "--fault " + fault_text + ": " +
                (f->takes_number ? std::string("expected ") + f->name + f->syntax
                                 : std::string(f->name) + " takes no value");
        return false;
    }
    f->apply(knobs, number);
    return true;
}

void print_fault_help(FILE *out)
{
    std::fputs("\nFaults (--fault, may be repeated):\n", out);
    for (const FaultSpec &f : kFaults) {
        const std::string usage = std::string(f.name) + f.syntax;
        std::fprintf(out, "  %-34s %s\n", usage.c_str(), f.help);
    }
    std::fputs("  STATUS is one of busy, access, io, not-found, no-device, invalid;\n"
               "  EP is a hexadecimal endpoint (02, 06, 81, 85), N the Nth transfer on it.\n"
               "The launcher's reader finds a card again after reading it (a real reader\n"
               "may not: --fault no-refind).\n",
               out);
    std::fputs("\nFaults of the serial line (--fault, for the --serial module alone; it takes\n"
               "the module's faults above too, answer-delay-us making a slow module):\n",
               out);
    for (const SerialFaultSpec &f : kSerialFaults) {
        const std::string usage = std::string(f.name) + f.syntax;
        std::fprintf(out, "  %-34s %s\n", usage.c_str(), f.help);
    }
}

} // namespace vsim
