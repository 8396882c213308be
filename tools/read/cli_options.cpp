// SPDX-License-Identifier: LGPL-2.1-or-later
// Command line of vessik-read.
#include "cli_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "vessik_read.h"

namespace vread {
namespace {

constexpr double kMsPerS = 1000.0;

bool parse_seconds(const std::string &text, unsigned &ms)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const double s = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(s) || s <= 0 || s > kMaxTimeoutS)
        return false;
    const double rounded = std::ceil(s * kMsPerS); // never shorter than asked
    ms = static_cast<unsigned>(rounded);
    return true;
}

bool parse_interval(const std::string &text, unsigned &ms)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (errno != 0 || value < 1 || value > kMaxIntervalMs)
        return false;
    ms = static_cast<unsigned>(value);
    return true;
}

} // namespace

ParseOutcome parse_cli(int argc, char **argv, CliOptions &out, std::string &error)
{
    CliOptions options;
    bool once = false;
    bool photo_format_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        const bool takes_value = arg == "--timeout" || arg == "--photo" || arg == "--interval" ||
                                 arg == "--reader" || arg == "--photo-format";
        if (takes_value && !has_value) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return ParseOutcome::Usage;
            }
            value = argv[++i];
        } else if (!takes_value && has_value) {
            error = arg + " takes no value";
            return ParseOutcome::Usage;
        }

        if (arg == "--help" || arg == "-h") {
            return ParseOutcome::Help;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--once") {
            once = true;
        } else if (arg == "--watch") {
            options.watch = true;
        } else if (arg == "--list") {
            options.list = true;
        } else if (arg == "--fingerprint" || arg == "--fingerprints") {
            options.fingerprints = true;
        } else if (arg == "--appended-address") {
            options.appended_address = true;
        } else if (arg == "--answer-driven") {
            options.answer_driven = true;
        } else if (arg == "--reader") {
            if (value.empty()) {
                error = "--reader needs a location (see --list)";
                return ParseOutcome::Usage;
            }
            options.reader = value;
        } else if (arg == "--timeout") {
            if (!parse_seconds(value, options.timeout_ms)) {
                error = "--timeout " + value + ": expected seconds, more than 0";
                return ParseOutcome::Usage;
            }
        } else if (arg == "--interval") {
            if (!parse_interval(value, options.interval_ms)) {
                error = "--interval " + value + ": expected milliseconds from 1 to " +
                        std::to_string(kMaxIntervalMs);
                return ParseOutcome::Usage;
            }
        } else if (arg == "--photo") {
            if (value.empty()) {
                error = "--photo needs a folder";
                return ParseOutcome::Usage;
            }
            options.photo_dir = value;
        } else if (arg == "--photo-format") {
            if (value != kPhotoFormatPng && value != kPhotoFormatBmp) {
                error = "--photo-format " + value + ": expected png or bmp";
                return ParseOutcome::Usage;
            }
            options.photo_format = value;
            photo_format_given = true;
        } else {
            error = "unknown argument " + std::string(argv[i]);
            return ParseOutcome::Usage;
        }
    }
    if (once && options.watch) {
        error = "--once and --watch exclude each other";
        return ParseOutcome::Usage;
    }
    if (photo_format_given && options.photo_dir.empty()) {
        error = "--photo-format goes with --photo";
        return ParseOutcome::Usage;
    }
    const bool reads = once || options.watch || options.timeout_ms != 0 ||
                       options.interval_ms != 0 || !options.photo_dir.empty() ||
                       !options.reader.empty() || options.fingerprints ||
                       options.appended_address || options.answer_driven;
    if (options.list && reads) {
        error = "--list reads no card: it takes --json alone";
        return ParseOutcome::Usage;
    }
    out = options;
    return ParseOutcome::Run;
}

const char *cli_usage()
{
    return "Usage: vessik-read [OPTIONS]\n"
           "Reads identity cards (resident cards, foreign permanent resident cards and\n"
           "Hong Kong/Macau/Taiwan residence permits) from the USB card reader.\n"
           "\n"
           "  --json          one JSON object per card, on a line of its own: every field\n"
           "                  by name, type, id_check, nation_code and nation_name,\n"
           "                  times_us, text_block and photo (base64 of the card's raw\n"
           "                  bytes), photo_image (the image file written, or null),\n"
           "                  type_marker, and for the items below their state\n"
           "                  (not-asked, present, absent, unsupported, not-read);\n"
           "                  default: a block of text per card\n"
           "  --once          read one card, then exit (the default)\n"
           "  --watch         keep reading, one card per presentation (a card left on\n"
           "                  the reader is reported once), until SIGINT or SIGTERM;\n"
           "                  a card lifted prints a line of its own (card removed\n"
           "                  from READER; JSON: {\"event\":\"removed\",\"reader\":...})\n"
           "                  where the reader can tell; default: --once\n"
           "  --timeout S     give up when no card has come within S seconds (with\n"
           "                  --watch: within S seconds of the previous card);\n"
           "                  default: wait for ever\n"
           "  --interval MS   pause between looks for a card, 1 to 60000 ms (default 100)\n"
           "  --photo DIR     write the card's portrait to DIR/<id number>.png; every\n"
           "                  character of the number but digits and capital letters\n"
           "                  A-Z becomes '_'; default: no image is written\n"
           "  --photo-format png|bmp\n"
           "                  png: the library checks the photo decoder's image and\n"
           "                  encodes it as PNG; bmp: the decoder's own BMP file as it\n"
           "                  wrote it, as DIR/<id number>.bmp; default: png\n"
           "  --reader WHERE  read from this reader, kept open from the first read to the\n"
           "                  last: usb (the first USB reader) or a location from --list\n"
           "                  such as usb:1-2 (bus 1, port 2), or a module on a serial\n"
           "                  line, serial:/dev/ttyUSB0 (115200 baud) or\n"
           "                  serial:/dev/ttyS1@9600; default: the first USB reader,\n"
           "                  opened for each read\n"
           "  --fingerprint, --fingerprints\n"
           "                  read the fingerprint templates too (JSON: fingerprints,\n"
           "                  base64 of the raw templates, and fingerprint_count);\n"
           "                  default: not read\n"
           "  --appended-address\n"
           "                  read the newest address appended to the card too\n"
           "                  (JSON: appended_address, appended_address_raw);\n"
           "                  default: not read\n"
           "  --answer-driven take the module's answer as soon as it is whole instead of\n"
           "                  after a fixed 0.9 s: the card in the module's own time\n"
           "                  (off until captures of real modules confirm it);\n"
           "                  default: the fixed wait\n"
           "  --list          list the readers, one per line: location, USB id and the\n"
           "                  module's identifier (hex) when the reader opens; with\n"
           "                  --json one array of objects (location, transport, usb_id,\n"
           "                  module_id, error); default: read cards\n"
           "  --help          this text\n"
           "\n"
           "Standard output carries only the cards (or the list); every error goes to\n"
           "standard error. The library itself prints nothing.\n"
           "\n"
           "Exit status:\n"
           "  0  a card was read (--watch: stopped by SIGINT or SIGTERM; --list: at\n"
           "     least one reader listed)\n"
           "  1  usage error\n"
           "  2  no reader, or the reader cannot be opened (another program holds it,\n"
           "     no permission, a kind of reader this build does not serve)\n"
           "  3  no card before the timeout\n"
           "  4  cancelled by SIGINT or SIGTERM before a card was read\n"
           "  5  the reader went away during the read\n"
           "  6  any other failure\n"
           "  7  --photo, but no photo decoder is installed: the card was printed, no\n"
           "     image written\n"
           "\n"
           "Errors about the reader (no reader, cannot open, in use, no permission)\n"
           "end with a hint to run vessik-doctor, which shows why.\n";
}

int exit_code_for(int result)
{
    switch (result) {
    case VESSIK_OK:
        return kExitCardRead;
    case VESSIK_E_TIMEOUT:
        return kExitTimeout;
    case VESSIK_E_CANCELLED:
        return kExitCancelled;
    case VESSIK_E_NO_READER:
    case VESSIK_E_READER_IN_USE:
    case VESSIK_E_ACCESS:
    case VESSIK_E_NOT_SUPPORTED:
        return kExitNoReader;
    case VESSIK_E_BAD_LOCATION:
        return kExitUsage;
    case VESSIK_E_READER_LOST:
        return kExitReaderLost;
    default:
        return kExitFailed;
    }
}

std::string error_text(int result)
{
    std::string text = vessik_strerror(result);
    if (exit_code_for(result) == kExitNoReader)
        text += kDoctorHint;
    return text;
}

} // namespace vread
