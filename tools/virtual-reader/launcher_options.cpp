// SPDX-License-Identifier: LGPL-2.1-or-later
// Command line of vessik-virtual-reader: options and card fields (the fault
// knobs are named beside the model, in sim/fault_names).
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
constexpr int kDecimalBase = 10;

using vsim::parse_long;

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

bool split_reader_address(const std::string &text, int *reader, std::string *rest)
{
    constexpr long kLargestAddress = 1000000; // far beyond any bus; still names "no such reader"
    const size_t colon = text.find(':');
    if (colon == 0 || colon == std::string::npos || text.find_first_not_of("0123456789") != colon)
        return false;
    long number = 0;
    if (!parse_long(text.substr(0, colon), kDecimalBase, &number) || number > kLargestAddress)
        return false;
    *reader = static_cast<int>(number);
    *rest = text.substr(colon + 1);
    return true;
}

namespace {

// One option of one reader as it was given: reader 0 means every reader.
struct ReaderOption {
    int reader;
    std::string name; // "--card", ...
    std::string value;
};

const char *const kReaderSwitches[] = {"--no-card", "--no-reader"};
const char *const kReaderValueOptions[] = {"--card",         "--card-after",   "--remove-after",
                                           "--unplug-after", "--replug-after", "--fault",
                                           "--raw-field",    "--card-read-ms"};

// The longest module read time --card-read-ms takes: a minute.
constexpr long kMaxCardReadMs = 60000;
constexpr long kUsPerMs = 1000;

// Sets one option on one reader, as it applies to every reader it names.
bool apply_reader_option(const ReaderOption &option, ReaderOptions &out, std::string &error)
{
    struct TimeOption {
        const char *name;
        uint64_t ReaderOptions::*field;
    };
    const TimeOption times[] = {
        {"--card-after", &ReaderOptions::card_after_us},
        {"--remove-after", &ReaderOptions::remove_after_us},
        {"--unplug-after", &ReaderOptions::unplug_after_us},
        {"--replug-after", &ReaderOptions::replug_after_us},
    };
    const std::string &name = option.name;
    const std::string &value = option.value;
    for (const TimeOption &t : times) {
        if (name != t.name)
            continue;
        if (!parse_seconds(value.c_str(), &(out.*t.field))) {
            error = name + " needs a number of seconds";
            return false;
        }
        return true;
    }
    if (name == "--no-card") {
        out.no_card = true;
    } else if (name == "--no-reader") {
        out.no_reader = true;
    } else if (name == "--card") {
        out.card_file = value;
    } else if (name == "--fault") {
        // Checked here, applied once the model exists.
        vsim::Knobs scratch;
        vsim::SerialKnobs serial_scratch;
        if (vsim::is_serial_fault(value) ? !vsim::apply_serial_fault(value, serial_scratch, error)
                                         : !vsim::apply_fault(value, scratch, error))
            return false;
        out.faults.push_back(value);
    } else if (name == "--card-read-ms") {
        // The module's read time is the model's read-delay-us.
        long ms = 0;
        if (!parse_long(value, kDecimalBase, &ms) || ms < 0 || ms > kMaxCardReadMs) {
            error = "--card-read-ms needs a number of milliseconds, 0 to " +
                    std::to_string(kMaxCardReadMs);
            return false;
        }
        out.faults.push_back("read-delay-us=" + std::to_string(ms * kUsPerMs));
    } else if (name == "--raw-field") {
        const size_t eq = value.find('=');
        vsim::CardFields card;
        if (eq == std::string::npos) {
            error = "--raw-field needs KEY=VALUE";
            return false;
        }
        if (!apply_raw_field(value.substr(0, eq), value.substr(eq + 1), card, error))
            return false;
        out.raw_fields.emplace_back(value.substr(0, eq), value.substr(eq + 1));
    }
    return true;
}

// The times and faults of one reader agree with each other.
bool check_reader(const ReaderOptions &r, std::string &error)
{
    const bool model_unplugs =
        std::any_of(r.faults.begin(), r.faults.end(), [](const std::string &f) {
            return f.rfind("unplug-after-transfers=", 0) == 0;
        });
    if (r.replug_after_us != kUnset && r.unplug_after_us == kUnset && !r.no_reader &&
        !model_unplugs) {
        error = "--replug-after needs --unplug-after, --no-reader or the fault "
                "unplug-after-transfers";
        return false;
    }
    if (r.replug_after_us != kUnset && r.unplug_after_us != kUnset &&
        r.replug_after_us <= r.unplug_after_us) {
        error = "--replug-after must come later than --unplug-after";
        return false;
    }
    return true;
}

// Each reader gets the options given for every reader and those given for
// it, in command-line order (a later one wins).
bool resolve_readers(int count, const std::vector<ReaderOption> &given, LauncherOptions &out,
                     std::string &error)
{
    for (const ReaderOption &o : given) {
        if (o.reader > count) {
            error = o.name + " " + std::to_string(o.reader) + ":" + o.value +
                    ": there is no reader " + std::to_string(o.reader) + " (--readers " +
                    std::to_string(count) + ")";
            return false;
        }
    }
    out.readers.assign(static_cast<size_t>(count), ReaderOptions());
    for (int n = 1; n <= count; ++n) {
        ReaderOptions &reader = out.readers[static_cast<size_t>(n - 1)];
        for (const ReaderOption &o : given) {
            if ((o.reader == 0 || o.reader == n) && !apply_reader_option(o, reader, error))
                return false;
        }
        if (!check_reader(reader, error)) {
            if (count > 1)
                error = "reader " + std::to_string(n) + ": " + error;
            return false;
        }
    }
    if (!out.serial)
        return true;
    for (const ReaderOption &o : given) {
        if (o.reader == 0 && !apply_reader_option(o, out.serial_reader, error))
            return false;
    }
    if (!check_reader(out.serial_reader, error)) {
        error = "serial module: " + error;
        return false;
    }
    return true;
}

// A rate the serial modules can run at.
bool parse_serial_rate(const char *text, int *rate)
{
    long n = 0;
    if (text == nullptr || !parse_long(text, kDecimalBase, &n))
        return false;
    for (uint8_t code = 0; vsim::serial_rate_of_code(code) != 0; ++code) {
        if (vsim::serial_rate_of_code(code) == n) {
            *rate = static_cast<int>(n);
            return true;
        }
    }
    return false;
}

// What a reader option without its value lacks.
const char *missing_value_text(const std::string &name)
{
    if (name == "--card")
        return "a card file";
    if (name == "--fault")
        return "NAME[=VALUE]";
    if (name == "--raw-field")
        return "KEY=VALUE";
    if (name == "--card-read-ms")
        return "a number of milliseconds";
    return "a number of seconds";
}

bool parse_reader_count(const char *text, int *count)
{
    long n = 0;
    if (text == nullptr || !parse_long(text, kDecimalBase, &n) || n < 1 || n > kMaxReaders)
        return false;
    *count = static_cast<int>(n);
    return true;
}

// A reader option's value, or for a switch the reader "=N" names; reader 0:
// every reader. False with `error` set when the value is missing or names
// no reader.
bool take_reader_option(const std::string &arg, const char *name, bool is_switch, int argc,
                        char **argv, int *i, ReaderOption *out, std::string &error)
{
    out->name = name;
    out->reader = 0;
    const size_t name_len = std::strlen(name);
    if (is_switch) {
        if (arg.size() == name_len)
            return true;
        long n = 0;
        if (!parse_long(arg.substr(name_len + 1), kDecimalBase, &n) || n < 1 || n > kMaxReaders) {
            error = std::string(name) + "=N: N is a reader, 1 to " + std::to_string(kMaxReaders);
            return false;
        }
        out->reader = static_cast<int>(n);
        return true;
    }
    const char *v = option_value(arg, name_len, argc, argv, i);
    if (v == nullptr) {
        error = std::string(name) + " needs " + missing_value_text(name);
        return false;
    }
    out->value = v;
    std::string rest;
    if (split_reader_address(out->value, &out->reader, &rest)) {
        if (out->reader == 0) {
            error = std::string(name) + " " + out->value + ": readers count from 1";
            return false;
        }
        out->value = rest;
    }
    return true;
}

// The launcher's own options with a value: how each takes it (the value is
// null when none was given), and what it needs when the value will not do.
struct ValueOption {
    const char *name;
    bool (*take)(const char *value, LauncherOptions &out, int *reader_count);
    std::string needs;
};

const ValueOption *value_option(const std::string &arg)
{
    static const ValueOption kOptions[] = {
        {"--serial-rate",
         [](const char *v, LauncherOptions &out, int *) {
             out.serial = true;
             return parse_serial_rate(v, &out.serial_rate);
         },
         "one of 9600, 19200, 38400, 57600, 115200"},
        {"--profile",
         [](const char *v, LauncherOptions &out, int *) {
             if (v == nullptr || v[0] == '\0')
                 return false;
             out.profile_file = v;
             return true;
         },
         "a capture file"},
        {"--stop-after",
         [](const char *v, LauncherOptions &out, int *) {
             return v != nullptr && parse_seconds(v, &out.stop_after_us);
         },
         "a number of seconds"},
        {"--readers",
         [](const char *v, LauncherOptions &, int *reader_count) {
             return parse_reader_count(v, reader_count);
         },
         "a count from 1 to " + std::to_string(kMaxReaders)},
    };
    for (const ValueOption &o : kOptions) {
        if (is_option(arg, o.name))
            return &o;
    }
    return nullptr;
}

// The option that only switches something on, when `arg` is one; nullptr
// otherwise.
bool *launcher_switch(const std::string &arg, LauncherOptions &out)
{
    const struct {
        const char *name;
        bool LauncherOptions::*field;
    } switches[] = {
        {"--log", &LauncherOptions::log},         {"--stats", &LauncherOptions::stats},
        {"--control", &LauncherOptions::control}, {"--serial", &LauncherOptions::serial},
        {"--exact", &LauncherOptions::exact},
    };
    for (const auto &s : switches) {
        if (arg == s.name)
            return &(out.*s.field);
    }
    return nullptr;
}

} // namespace

ParseOutcome parse_launcher_options(int argc, char **argv, LauncherOptions &out, std::string &error)
{
    std::vector<ReaderOption> reader_options;
    int reader_count = 1;
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
        if (bool *on = launcher_switch(arg, out)) {
            *on = true;
            continue;
        }
        if (const ValueOption *o = value_option(arg)) {
            const char *v = option_value(arg, std::strlen(o->name), argc, argv, &i);
            if (!o->take(v, out, &reader_count)) {
                error = std::string(o->name) + " needs " + o->needs;
                return ParseOutcome::Error;
            }
            continue;
        }

        bool matched = false;
        ReaderOption option;
        for (const char *name : kReaderSwitches) {
            if (!matched && is_option(arg, name)) {
                matched = true;
                if (!take_reader_option(arg, name, true, argc, argv, &i, &option, error))
                    return ParseOutcome::Error;
            }
        }
        for (const char *name : kReaderValueOptions) {
            if (!matched && is_option(arg, name)) {
                matched = true;
                if (!take_reader_option(arg, name, false, argc, argv, &i, &option, error))
                    return ParseOutcome::Error;
            }
        }
        if (!matched) {
            error = "unknown option " + arg;
            return ParseOutcome::Error;
        }
        reader_options.push_back(option);
    }

    for (; i < argc; ++i)
        out.program.push_back(argv[i]);
    if (out.program.empty()) {
        error = "no program to run (vessik-virtual-reader [options] -- PROGRAM ARGS...)";
        return ParseOutcome::Error;
    }
    out.program.push_back(nullptr);
    if (out.exact && out.profile_file.empty()) {
        error = "--exact needs --profile";
        return ParseOutcome::Error;
    }
    return resolve_readers(reader_count, reader_options, out, error) ? ParseOutcome::Run
                                                                     : ParseOutcome::Error;
}

const char *launcher_usage()
{
    return "Usage: vessik-virtual-reader [OPTIONS] -- PROGRAM [ARGS...]\n"
           "Runs PROGRAM with virtual card readers (USB 0400:c35a) that its libusb-1.0\n"
           "finds and drives like real ones. Times are seconds after the start.\n"
           "\n"
           "  --readers N          N readers on the bus (1 to 16, default 1): reader K sits\n"
           "                       in bus 1, port K (location usb:1-K), and its module\n"
           "                       identifier is VSIM-000K-000042 (K in four digits)\n"
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
           "  --card-read-ms N     the module takes N ms to read a card: its read answer\n"
           "                       is ready N ms after the read command (default 500)\n"
           "  --fault NAME[=VALUE] switch on a fault or realism knob of the reader (below)\n"
           "  --profile CAPTURE    replay a capture of vessik-doctor --capture: every\n"
           "                       command is answered after the capture's median time\n"
           "                       for it, with the answer shapes it recorded where they\n"
           "                       differ from the model's (the card's data stay the\n"
           "                       model's own)\n"
           "  --exact              with --profile: the recorded times in their order\n"
           "  --stop-after S       stop PROGRAM (SIGTERM, then SIGKILL) after S seconds\n"
           "  --log                log every USB stage to stderr, in hex\n"
           "  --stats              at exit, print the readers' counters, PROGRAM's CPU\n"
           "                       time and peak memory to stderr\n"
           "  --control            let PROGRAM steer the readers: a socket whose number is\n"
           "                       in VESSIK_READER_CONTROL takes one command per message\n"
           "                       and answers \"ok\" or \"error: WHY\" (commands below)\n"
           "  --serial             also a security module on a serial line: a pseudo-\n"
           "                       terminal whose path is printed on stderr and set in\n"
           "                       VESSIK_VIRTUAL_SERIAL, and added to VESSIK_SERIAL_READERS;\n"
           "                       it takes the options given for every reader (a card,\n"
           "                       --fault, --unplug-after: the port vanishes)\n"
           "  --serial-rate R      the serial module runs at R baud (9600, 19200, 38400,\n"
           "                       57600 or 115200; default 115200); implies --serial\n"
           "  --help               this text\n"
           "\n"
           "One reader's options: the options from --card to --fault mean every reader;\n"
           "K: before the value gives one to reader K alone, and =K after a switch does\n"
           "(--card 2:FILE, --fault 2:answer-delay-us=120000, --unplug-after 2:1.5,\n"
           "--no-card=2). They apply in the order given, the later one winning.\n"
           "\n"
           "SIGINT, SIGTERM, SIGHUP and SIGQUIT are passed on to PROGRAM. The testbed\n"
           "folder (/tmp/umockdev.*) is removed when PROGRAM has ended.\n"
           "\n"
           "Control commands: card | lift | unplug | plug | counters |\n"
           "  reader [FAULT...]    a fresh reader on the bus, no card, counters at zero,\n"
           "                       with these faults (NAME[=VALUE] as for --fault)\n"
           "  K:COMMAND addresses reader K alone (2:unplug, 2:reader answer-delay-us=500000),\n"
           "  serial:COMMAND the serial module alone (serial:unplug: the port vanishes);\n"
           "  without it a command addresses every reader, except counters, which\n"
           "  answers for reader 1.\n"
           "\n"
           "Exit status: PROGRAM's own; 128+N when it died of signal N; 124 when\n"
           "--stop-after stopped it; 125 when the launcher failed; 126/127 when PROGRAM\n"
           "could not be run / found.\n";
}
