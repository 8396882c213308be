// Command line of vessik-virtual-reader: options, fault knobs, card fields.
#include "launcher_options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr double kMaxSeconds = 1e6;
constexpr double kUsPerSecond = 1e6;
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
    vsim::EndpointFault endpoint;
    vsim::UsbStatus status = vsim::UsbStatus::Busy;
};

struct FaultSpec {
    const char *name;
    FaultValue value;
    long minimum;       // for Number
    const char *syntax; // what follows the name
    const char *help;
    void (*apply)(vsim::Knobs &, const FaultArg &);
};

const FaultSpec kFaults[] = {
    {"no-refind", FaultValue::None, 0, "",
     "a card once read is not found again until it is re-presented",
     [](vsim::Knobs &k, const FaultArg &) { k.refind_after_read = false; }},
    {"read-delay-us", FaultValue::Number, 0, "=US",
     "the read answer is ready this long after the command",
     [](vsim::Knobs &k, const FaultArg &a) { k.read_delay_us = static_cast<uint64_t>(a.number); }},
    {"answer-delay-us", FaultValue::Number, 0, "=US",
     "every other answer is ready this long after its command",
     [](vsim::Knobs &k, const FaultArg &a) {
         k.answer_delay_us = static_cast<uint64_t>(a.number);
     }},
    {"claim-fails", FaultValue::Status, 0, "[=STATUS]", "claiming interface 0 fails (default busy)",
     [](vsim::Knobs &k, const FaultArg &a) { k.claim_error = a.status; }},
    {"set-config-fails", FaultValue::Status, 0, "[=STATUS]", "setting the configuration fails",
     [](vsim::Knobs &k, const FaultArg &a) { k.set_configuration_error = a.status; }},
    {"kernel-driver", FaultValue::None, 0, "",
     "a kernel driver holds interface 0 until it is detached",
     [](vsim::Knobs &k, const FaultArg &) { k.kernel_driver_active = true; }},
    {"card-arrives-after-finds", FaultValue::Number, 0, "=N",
     "a presented card shows after N finds",
     [](vsim::Knobs &k, const FaultArg &a) {
         k.card_arrives_after_finds = static_cast<int>(a.number);
     }},
    {"card-leaves-after-finds", FaultValue::Number, 0, "=N",
     "the card is lifted after the Nth find that saw it",
     [](vsim::Knobs &k, const FaultArg &a) {
         k.card_leaves_after_finds = static_cast<int>(a.number);
     }},
    {"select-fails", FaultValue::Number, -1, "=N", "the first N selects fail (-1: all)",
     [](vsim::Knobs &k, const FaultArg &a) { k.select_fails = static_cast<int>(a.number); }},
    {"read-short", FaultValue::Number, 0, "=BYTES",
     "the read answer's body stage carries only BYTES",
     [](vsim::Knobs &k, const FaultArg &a) {
         k.read_answer_body_bytes = static_cast<int>(a.number);
     }},
    {"read-length", FaultValue::Number, 0, "=N", "the read answer announces length N",
     [](vsim::Knobs &k, const FaultArg &a) { k.read_length_field = static_cast<int>(a.number); }},
    {"damage-preamble", FaultValue::None, 0, "", "every module answer starts 55 instead of AA",
     [](vsim::Knobs &k, const FaultArg &) { k.damage_preamble = true; }},
    {"damage-check", FaultValue::None, 0, "", "every module answer has a wrong check byte",
     [](vsim::Knobs &k, const FaultArg &) { k.damage_check_byte = true; }},
    {"in-timeout", FaultValue::Endpoint, 0, "=EP[:N]", "IN stages on EP run into their timeout",
     [](vsim::Knobs &k, const FaultArg &a) { k.in_timeout = a.endpoint; }},
    {"in-partial", FaultValue::Endpoint, 0, "=EP[:N]",
     "IN stages on EP deliver partial-bytes, then time out",
     [](vsim::Knobs &k, const FaultArg &a) { k.in_partial = a.endpoint; }},
    {"partial-bytes", FaultValue::Number, 0, "=BYTES", "what in-partial lets through (default 3)",
     [](vsim::Knobs &k, const FaultArg &a) { k.in_partial_bytes = static_cast<int>(a.number); }},
    {"out-stall", FaultValue::Endpoint, 0, "=EP[:N]", "OUT stages on EP stall",
     [](vsim::Knobs &k, const FaultArg &a) { k.out_stall = a.endpoint; }},
    {"stall-clears", FaultValue::None, 0, "", "a stalled OUT endpoint recovers without clear_halt",
     [](vsim::Knobs &k, const FaultArg &) { k.stall_sticks = false; }},
    {"unplug-after-transfers", FaultValue::Number, 0, "=N",
     "the reader drops off the bus after N transfers",
     [](vsim::Knobs &k, const FaultArg &a) {
         k.unplug_after_transfers = static_cast<int>(a.number);
     }},
    {"controller-silent", FaultValue::None, 0, "", "the controller answers no probe or restart",
     [](vsim::Knobs &k, const FaultArg &) { k.controller_silent = true; }},
    {"controller-answers-probe", FaultValue::Number, 0, "=N", "only the Nth probe is answered",
     [](vsim::Knobs &k, const FaultArg &a) {
         k.controller_answers_probe = static_cast<int>(a.number);
     }},
    {"mcu-write-stalls", FaultValue::Number, -1, "=N",
     "the first N controller writes stall (-1: all)",
     [](vsim::Knobs &k, const FaultArg &a) { k.mcu_write_stalls = static_cast<int>(a.number); }},
};

struct StatusName {
    const char *name;
    vsim::UsbStatus status;
};
const StatusName kStatusNames[] = {
    {"busy", vsim::UsbStatus::Busy},          {"access", vsim::UsbStatus::Access},
    {"io", vsim::UsbStatus::IoError},         {"not-found", vsim::UsbStatus::NotFound},
    {"no-device", vsim::UsbStatus::NoDevice}, {"invalid", vsim::UsbStatus::InvalidParam},
};

bool parse_long(const std::string &text, int base, long *value)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    *value = std::strtol(text.c_str(), &end, base);
    return errno == 0 && *end == '\0';
}

bool parse_endpoint(const std::string &text, vsim::EndpointFault *fault)
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

bool parse_seconds(const char *text, uint64_t *us)
{
    errno = 0;
    char *end = nullptr;
    const double s = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || end == text || !std::isfinite(s) || s < 0 || s > kMaxSeconds)
        return false;
    *us = static_cast<uint64_t>(std::llround(s * kUsPerSecond));
    return true;
}

// "--name=value" or "--name value": the value, or null when it is missing.
const char *option_value(const std::string &arg, size_t name_len, int argc, char **argv, int *i)
{
    if (arg.size() > name_len && arg[name_len] == '=')
        return argv[*i] + name_len + 1;
    if (*i + 1 < argc)
        return argv[++*i];
    return nullptr;
}

bool is_option(const std::string &arg, const char *name)
{
    const size_t n = std::strlen(name);
    return arg.compare(0, n, name) == 0 && (arg.size() == n || arg[n] == '=');
}

} // namespace

bool apply_fault(const std::string &fault_text, vsim::Knobs &knobs, std::string &error)
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

bool apply_raw_field(const std::string &key, const std::string &value, vsim::CardFields &card,
                     std::string &error)
{
    std::string vsim::CardFields::*const members[] = {
        &vsim::CardFields::name,      &vsim::CardFields::sex,        &vsim::CardFields::nation,
        &vsim::CardFields::birth,     &vsim::CardFields::address,    &vsim::CardFields::id_number,
        &vsim::CardFields::authority, &vsim::CardFields::valid_from, &vsim::CardFields::valid_to,
    };
    for (size_t i = 0; i < vsim::kTextFields.size(); ++i) {
        if (key == vsim::kTextFields[i].key) {
            card.*members[i] = value;
            return true;
        }
    }
    error = "--raw-field " + key + ": no such card field";
    return false;
}

ParseOutcome parse_launcher_options(int argc, char **argv, LauncherOptions &out, std::string &error)
{
    struct TimeOption {
        const char *name;
        uint64_t LauncherOptions::*field;
    };
    const TimeOption times[] = {
        {"--card-after", &LauncherOptions::card_after_us},
        {"--remove-after", &LauncherOptions::remove_after_us},
        {"--unplug-after", &LauncherOptions::unplug_after_us},
        {"--replug-after", &LauncherOptions::replug_after_us},
        {"--stop-after", &LauncherOptions::stop_after_us},
    };

    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.empty() || arg[0] != '-')
            break; // the program starts here
        if (arg == "--help" || arg == "-h")
            return ParseOutcome::Help;
        if (arg == "--no-card") {
            out.no_card = true;
            continue;
        }
        if (arg == "--no-reader") {
            out.no_reader = true;
            continue;
        }
        if (arg == "--log") {
            out.log = true;
            continue;
        }
        if (arg == "--stats") {
            out.stats = true;
            continue;
        }
        if (arg == "--control") {
            out.control = true;
            continue;
        }

        bool matched = false;
        for (const TimeOption &t : times) {
            if (!is_option(arg, t.name))
                continue;
            matched = true;
            const char *v = option_value(arg, std::strlen(t.name), argc, argv, &i);
            if (v == nullptr || !parse_seconds(v, &(out.*t.field))) {
                error = std::string(t.name) + " needs a number of seconds";
                return ParseOutcome::Error;
            }
        }
        if (matched)
            continue;
        if (is_option(arg, "--card")) {
            const char *v = option_value(arg, std::strlen("--card"), argc, argv, &i);
            if (v == nullptr) {
                error = "--card needs a card file";
                return ParseOutcome::Error;
            }
            out.card_file = v;
            continue;
        }
        if (is_option(arg, "--fault")) {
            const char *v = option_value(arg, std::strlen("--fault"), argc, argv, &i);
            if (v == nullptr) {
                error = "--fault needs NAME[=VALUE]";
                return ParseOutcome::Error;
            }
            out.faults.emplace_back(v);
            continue;
        }
        if (is_option(arg, "--raw-field")) {
            const char *v = option_value(arg, std::strlen("--raw-field"), argc, argv, &i);
            const char *eq = v != nullptr ? std::strchr(v, '=') : nullptr;
            if (eq == nullptr) {
                error = "--raw-field needs KEY=VALUE";
                return ParseOutcome::Error;
            }
            out.raw_fields.emplace_back(std::string(v, eq), std::string(eq + 1));
            continue;
        }
        error = "unknown option " + arg;
        return ParseOutcome::Error;
    }

    for (; i < argc; ++i)
        out.program.push_back(argv[i]);
    if (out.program.empty()) {
        error = "no program to run (vessik-virtual-reader [options] -- PROGRAM ARGS...)";
        return ParseOutcome::Error;
    }
    out.program.push_back(nullptr);

    const bool model_unplugs =
        std::any_of(out.faults.begin(), out.faults.end(), [](const std::string &f) {
            return f.rfind("unplug-after-transfers=", 0) == 0;
        });
    if (out.replug_after_us != kUnset && out.unplug_after_us == kUnset && !out.no_reader &&
        !model_unplugs) {
        error = "--replug-after needs --unplug-after, --no-reader or the fault "
                "unplug-after-transfers";
        return ParseOutcome::Error;
    }
    if (out.replug_after_us != kUnset && out.unplug_after_us != kUnset &&
        out.replug_after_us <= out.unplug_after_us) {
        error = "--replug-after must come later than --unplug-after";
        return ParseOutcome::Error;
    }
    vsim::Knobs scratch; // faults are checked here, applied once the model exists
    for (const std::string &f : out.faults) {
        if (!apply_fault(f, scratch, error))
            return ParseOutcome::Error;
    }
    vsim::CardFields card;
    for (const auto &field : out.raw_fields) {
        if (!apply_raw_field(field.first, field.second, card, error))
            return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

const char *launcher_usage()
{
    return "Usage: vessik-virtual-reader [OPTIONS] -- PROGRAM [ARGS...]\n"
           "Runs PROGRAM with a virtual card reader (USB 0400:c35a) that its libusb-1.0\n"
           "finds and drives like the real one. Times are seconds after the start.\n"
           "\n"
           "  --card FILE          the card on the reader (key = value card file);\n"
           "                       default: the built-in sample card\n"
           "  --no-card            start with no card on the reader\n"
           "  --card-after S       lay the card down after S seconds (none before)\n"
           "  --remove-after S     lift the card after S seconds\n"
           "  --raw-field K=V      set card field K to V without the card file's checks\n"
           "                       (for hostile cards, e.g. id_number=../../etc/x)\n"
           "  --no-reader          start with the reader unplugged\n"
           "  --unplug-after S     pull the reader out after S seconds\n"
           "  --replug-after S     plug it back in after S seconds\n"
           "  --stop-after S       stop PROGRAM (SIGTERM, then SIGKILL) after S seconds\n"
           "  --fault NAME[=VALUE] switch on a fault or realism knob of the reader (below)\n"
           "  --log                log every USB stage to stderr, in hex\n"
           "  --stats              at exit, print the reader's counters, PROGRAM's CPU\n"
           "                       time and peak memory to stderr\n"
           "  --control            let PROGRAM steer the reader: a socket whose number is\n"
           "                       in VESSIK_READER_CONTROL takes one command per message\n"
           "                       and answers \"ok\" or \"error: WHY\" (commands below)\n"
           "  --help               this text\n"
           "\n"
           "SIGINT, SIGTERM, SIGHUP and SIGQUIT are passed on to PROGRAM. The testbed\n"
           "folder (/tmp/umockdev.*) is removed when PROGRAM has ended.\n"
           "\n"
           "Control commands: card | lift | unplug | plug | counters |\n"
           "  reader [FAULT...]    a fresh reader on the bus, no card, counters at zero,\n"
           "                       with these faults (NAME[=VALUE] as for --fault)\n"
           "\n"
           "Exit status: PROGRAM's own; 128+N when it died of signal N; 124 when\n"
           "--stop-after stopped it; 125 when the launcher failed; 126/127 when PROGRAM\n"
           "could not be run / found.\n";
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
}
