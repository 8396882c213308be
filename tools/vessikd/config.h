// SPDX-License-Identifier: LGPL-2.1-or-later
// vessikd's settings: a key = value file and command-line options with the
// same names, the options winning over the file.
#ifndef VESSIKD_CONFIG_H
#define VESSIKD_CONFIG_H

#include <cstddef>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vessikd {

#ifndef VESSIKD_DEFAULT_CONFIG
#define VESSIKD_DEFAULT_CONFIG "/etc/vessik/vessikd.conf"
#endif
constexpr const char *kDefaultConfigPath = VESSIKD_DEFAULT_CONFIG;
constexpr int kDefaultPort = 19904;

// The checked settings the service runs with.
struct Config {
    std::vector<std::string> listen; // numeric loopback addresses only
    bool listen_is_default = true;   // then an address family the host lacks is skipped
    int port = kDefaultPort;         // 0: any free port
    std::vector<std::string> allowed_origins;
    std::vector<std::string> event_origins; // allowed, and sent card data on their streams
    std::vector<uid_t> allowed_users;       // beside root, itself and the seat's user
    std::vector<gid_t> allowed_groups;
    // Whose event streams carry card data beside the seat's user (and who
    // may connect for that); an Origin header can only narrow it.
    std::vector<uid_t> event_users;
    std::vector<gid_t> event_groups;
    bool card_events = true; // off: streams hear of no card at all
    // Reads take the module's answer as soon as it is whole instead of
    // after the fixed 0.9 s (vessik_read_options.answer_driven).
    bool answer_driven = false;
    std::string token; // empty: no bearer token asked for
    size_t max_request_bytes = 4096;
    unsigned read_deadline_ms = 10000; // when a read request names none
    unsigned max_deadline_ms = 60000;
    unsigned max_event_streams = 16;
    // Serial modules to serve beside the USB readers, as locations
    // vessik_reader_open takes ("serial:/dev/ttyS1@57600").
    std::vector<std::string> serial_readers;
};

// One value of a setting, and where it was given ("vessikd.conf:12",
// "--allow-origin"), for the messages that refuse it.
struct SettingValue {
    std::string text;
    std::string where;
};

// Keys of the file and the command line, each with its values in order.
using Settings = std::map<std::string, std::vector<SettingValue>>;

// What the command line asks for; Error: `error` says what is wrong.
enum class CommandLine { Run, Help, Version, Error };

// Splits argv into the config file to read and the settings given there.
// --KEY VALUE and --KEY=VALUE for every file key; --config FILE; --help.
CommandLine parse_command_line(int argc, char **argv, std::string &config_path,
                               bool &config_path_given, Settings &settings, std::string &error);

// Reads "key = value" lines; '#' starts a comment line. false with a message
// naming the line for anything else.
bool parse_config_text(const std::string &text, const std::string &origin, Settings &settings,
                       std::string &error);

// Whom vessikd trusts with the files that say who may read cards: root and
// this user may own them (and every folder above them), and only this
// group may read a token besides its owner.
struct FileOwners {
    uid_t uid;
    gid_t gid;
};
// The user and group this process runs as (vessikd's own under its unit).
FileOwners this_service();

// Reads the config file; a missing file is fine unless `required`. A file
// owned by anyone but root or `owners.uid`, in a folder not theirs or that
// others may write (unless sticky, as /tmp), or that others may write is
// refused (it says who may read cards), and so is one that holds a token
// and others than `owners.gid` may read.
bool load_config_file(const std::string &path, bool required, Settings &settings,
                      std::string &error, const FileOwners &owners = this_service());

// Checks every setting and builds the configuration: `overrides` (the
// command line) replaces whole keys of `file`. An allowed origin on this
// computer's loopback is refused (naming the line) unless it is one of
// vessikd's own addresses and port. A token-file is held to the rules of
// the config file holding a token.
bool build_config(const Settings &file, const Settings &overrides, Config &config,
                  std::string &error, const FileOwners &owners = this_service());

// A listen address vessikd accepts: 127.0.0.1 or ::1, written any way
// inet_pton reads them. "localhost" is expanded before this check.
bool is_loopback_address(const std::string &address);

// An origin as browsers send it: lower-case scheme://host[:port], no path.
// Writes the normalised form; false for anything else, "*" and "null".
bool normalise_origin(const std::string &text, std::string &origin);

// The serial readers of a serial-readers value: devices separated by ':'
// (or ',' and blanks), each an absolute path, optionally with @RATE (9600,
// 19200, 38400, 57600, 115200). Adds their locations to `locations`; false
// with a message for anything else.
bool parse_serial_readers(const std::string &value, std::vector<std::string> &locations,
                          std::string &error);

// The device of a serial location ("serial:/dev/ttyS1@57600" -> "/dev/ttyS1");
// empty for any other location.
std::string serial_device_of(const std::string &location);

// The --help text.
const char *usage_text();

} // namespace vessikd

#endif
