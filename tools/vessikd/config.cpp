// SPDX-License-Identifier: LGPL-2.1-or-later
// vessikd's settings (see config.h).
#include "config.h"

#include "access_policy.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "reader_location.h"
#include "vessik_read.h"

namespace vessikd {

namespace {

constexpr int kMaxPort = 65535;
// The page's photo request (the card's photo in base64) must still fit.
constexpr size_t kMinRequestBytes = 2048;
constexpr size_t kMaxRequestBytes = 1 << 20;
constexpr unsigned kMaxDeadlineMs = 600000;
constexpr unsigned kMaxEventStreams = 64;
// A token short enough to guess is worse than none: it looks like protection.
constexpr size_t kMinTokenChars = 16;
// Sixteen of one character, or a short pattern repeated, is as easy to guess.
constexpr size_t kMinDistinctTokenChars = 8;
constexpr size_t kNameBufferBytes = 4096;
constexpr size_t kFileReadBytes = 4096;
constexpr size_t kMaxSettingsFileBytes = 1 << 20;
// Permission bits that let users other than the owner change a file, or
// anyone outside its group read it.
constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;
constexpr mode_t kOthersRead = S_IROTH;
constexpr uid_t kRootUid = 0;
constexpr char kGroupMark = '@';

const char *const kListKeys[] = {"listen",      "allow-origin",       "events-allow-origin",
                                 "allow-users", "events-allow-users", "serial-readers"};
// The rates a serial module can be set to; the first is the one it starts at.
const char *const kScalarKeys[] = {"port",
                                   "token",
                                   "token-file",
                                   "max-request-bytes",
                                   "read-deadline-ms",
                                   "max-deadline-ms",
                                   "max-event-streams",
                                   "card-events",
                                   "answer-driven"};

bool is_list_key(const std::string &key)
{
    for (const char *k : kListKeys) {
        if (key == k)
            return true;
    }
    return false;
}

bool is_known_key(const std::string &key)
{
    if (is_list_key(key))
        return true;
    for (const char *k : kScalarKeys) {
        if (key == k)
            return true;
    }
    return false;
}

std::string trim(const std::string &text)
{
    const char *space = " \t\r\n";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// "a, b c" -> {"a", "b", "c"}: list values may be written either way.
std::vector<std::string> split_list(const std::string &text)
{
    std::vector<std::string> items;
    std::string item;
    for (const char c : text + ",") {
        if (c == ',' || c == ' ' || c == '\t') {
            if (!item.empty())
                items.push_back(item);
            item.clear();
        } else {
            item += c;
        }
    }
    return items;
}

bool add_setting(const std::string &key, const std::string &value, const std::string &where,
                 Settings &settings, std::string &error)
{
    if (!is_known_key(key)) {
        error = "unknown setting '" + key + "'";
        return false;
    }
    std::vector<SettingValue> &values = settings[key];
    if (!is_list_key(key))
        values.clear(); // a later value of a single setting wins
    values.push_back(SettingValue{value, where});
    return true;
}

bool parse_unsigned(const std::string &text, unsigned long min, unsigned long max,
                    unsigned long &value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    value = std::strtoul(text.c_str(), nullptr, 10);
    return errno == 0 && value >= min && value <= max;
}

bool number_setting(const Settings &s, const char *key, unsigned long min, unsigned long max,
                    unsigned long &value, std::string &error)
{
    const auto it = s.find(key);
    if (it == s.end())
        return true; // keep the default
    if (!parse_unsigned(it->second.back().text, min, max, value)) {
        error = std::string(key) + " must be a whole number from " + std::to_string(min) + " to " +
                std::to_string(max) + ", not '" + it->second.back().text + "'";
        return false;
    }
    return true;
}

std::string mode_text(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

bool check_token(const std::string &token, const std::string &where, std::string &error)
{
    if (token.size() < kMinTokenChars) {
        error = where + ": the token must have at least " + std::to_string(kMinTokenChars) +
                " characters";
        return false;
    }
    for (const char c : token) {
        if (c <= ' ' || c == '\x7f') {
            error = where + ": the token may not hold spaces or control characters";
            return false;
        }
    }
    const std::set<char> distinct(token.begin(), token.end());
    if (distinct.size() < kMinDistinctTokenChars) {
        error = where + ": the token is too easy to guess (only " +
                std::to_string(distinct.size()) + " different characters, at least " +
                std::to_string(kMinDistinctTokenChars) +
                " wanted); make one with: head -c 24 /dev/urandom | base64";
        return false;
    }
    return true;
}

// A whole file through one descriptor, with its mode: what was checked is
// what was read.
bool read_whole_file(const std::string &path, std::string &text, struct stat &st)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fstat(fd, &st) == 0;
    char buffer[kFileReadBytes];
    while (ok && text.size() < kMaxSettingsFileBytes) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    const int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

bool owner_trusted(uid_t uid, const FileOwners &owners)
{
    return uid == kRootUid || uid == owners.uid;
}

// Whoever may write a folder may put another file in the place of one it
// holds: each folder above `path` must be root's or the service's, and
// writable by nobody else (a sticky one, as /tmp, keeps others' hands off
// the files it holds).
bool folders_trusted(const std::string &path, const FileOwners &owners, std::string &error)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string folder = resolved;
    while (folder != "/") {
        const size_t slash = folder.rfind('/');
        folder = slash == 0 ? std::string("/") : folder.substr(0, slash);
        struct stat st {};
        if (stat(folder.c_str(), &st) != 0) {
            error = folder + ": " + std::strerror(errno);
            return false;
        }
        if (!owner_trusted(st.st_uid, owners)) {
            error = path + ": its folder " + folder + " belongs to uid " +
                    std::to_string(st.st_uid) + ", neither root nor vessikd's own user";
            return false;
        }
        if ((st.st_mode & kOthersWrite) != 0 && (st.st_mode & S_ISVTX) == 0) {
            error = path + ": others can write its folder " + folder + " (mode " +
                    mode_text(st.st_mode) + ")";
            return false;
        }
    }
    return true;
}

// A file that says who may read cards: root's or the service's, in folders
// that are theirs, and written by its owner only.
bool file_trusted(const std::string &path, const struct stat &st, const FileOwners &owners,
                  std::string &error)
{
    if (!owner_trusted(st.st_uid, owners)) {
        error = path + ": belongs to uid " + std::to_string(st.st_uid) +
                ", neither root nor vessikd's own user; chown root " + path;
        return false;
    }
    if ((st.st_mode & kOthersWrite) != 0) {
        error = path + ": others can write it (mode " + mode_text(st.st_mode) +
                "), and it says who may read cards; chmod go-w " + path;
        return false;
    }
    return folders_trusted(path, owners, error);
}

// A secret may be read by its owner and by vessikd's group, nobody else.
bool readable_by_service_only(const struct stat &st, const FileOwners &owners)
{
    return (st.st_mode & kOthersRead) == 0 &&
           ((st.st_mode & S_IRGRP) == 0 || st.st_gid == owners.gid);
}

bool read_token_file(const std::string &path, const FileOwners &owners, std::string &token,
                     std::string &error)
{
    std::string text;
    struct stat st {};
    if (!read_whole_file(path, text, st)) {
        error = "token-file " + path + ": " + std::strerror(errno);
        return false;
    }
    if ((st.st_mode & kOthersWrite) != 0 || !readable_by_service_only(st, owners)) {
        error = "token-file " + path + ": others can read or write it (mode " +
                mode_text(st.st_mode) +
                "; a group may read it only if it is vessikd's own); make it readable by the "
                "service only (chown root:vessikd, chmod 0640)";
        return false;
    }
    if (!file_trusted(path, st, owners, error)) {
        error = "token-file " + error;
        return false;
    }
    token = trim(text.substr(0, text.find('\n')));
    return check_token(token, "token-file " + path, error);
}

bool listen_settings(const Settings &s, Config &config, std::string &error)
{
    const auto it = s.find("listen");
    if (it == s.end()) {
        config.listen = {"127.0.0.1", "::1"};
        config.listen_is_default = true;
        return true;
    }
    config.listen.clear();
    config.listen_is_default = false;
    for (const SettingValue &value : it->second) {
        for (const std::string &address : split_list(value.text)) {
            if (address == "localhost") {
                config.listen.push_back("127.0.0.1");
                config.listen.push_back("::1");
                continue;
            }
            if (!is_loopback_address(address)) {
                error = "refusing to listen on '" + address +
                        "': vessikd serves the loopback interface only (127.0.0.1, ::1)";
                return false;
            }
            in6_addr v6{};
            config.listen.push_back(inet_pton(AF_INET6, address.c_str(), &v6) == 1 ? "::1"
                                                                                   : "127.0.0.1");
        }
    }
    if (config.listen.empty()) {
        error = "listen names no address";
        return false;
    }
    return true;
}

// Calls `take` on each item of each value of `key`, with the value it came
// from, until one returns false (false then); true when the key is not set.
template <typename Take> bool each_list_item(const Settings &s, const std::string &key, Take take)
{
    const auto it = s.find(key);
    if (it == s.end())
        return true;
    for (const SettingValue &value : it->second) {
        for (const std::string &item : split_list(value.text)) {
            if (!take(value, item))
                return false;
        }
    }
    return true;
}

bool origin_list(const Settings &s, const char *key, std::vector<std::string> &origins,
                 std::string &error)
{
    origins.clear();
    return each_list_item(s, key, [&](const SettingValue &value, const std::string &item) {
        std::string origin;
        if (!normalise_origin(item, origin)) {
            error = value.where + ": " + key + " '" + item +
                    "' is not an origin (scheme://host[:port], no path; '*' and 'null' are "
                    "refused)";
            return false;
        }
        origins.push_back(origin);
        return true;
    });
}

bool origin_settings(const Settings &s, Config &config, std::string &error)
{
    return origin_list(s, "allow-origin", config.allowed_origins, error) &&
           origin_list(s, "events-allow-origin", config.event_origins, error);
}

// The origins of the page vessikd serves itself, as the settings put it:
// http:// on each listen address at the port, and localhost where both
// addresses are held. None for port 0, which is only known once bound.
std::vector<std::string> own_origins_of(const Config &config)
{
    std::vector<std::string> origins;
    if (config.port == 0)
        return origins;
    const std::string port = ":" + std::to_string(config.port);
    bool v4 = false;
    bool v6 = false;
    for (const std::string &address : config.listen) {
        v6 = v6 || address == "::1";
        v4 = v4 || address != "::1";
        origins.push_back("http://" + (address == "::1" ? "[::1]" : address) + port);
    }
    if (v4 && v6)
        origins.push_back("http://localhost" + port);
    return origins;
}

// A page on the loopback other than vessikd's own is served by whoever took
// its port first, any local user among them: the card would be theirs.
bool loopback_origins_refused(const Settings &s, const Config &config, std::string &error)
{
    const std::vector<std::string> own = own_origins_of(config);
    const auto refuse_loopback = [&](const char *key) {
        return each_list_item(s, key, [&](const SettingValue &value, const std::string &item) {
            std::string origin;
            if (!normalise_origin(item, origin) || !loopback_origin(origin) ||
                std::find(own.begin(), own.end(), origin) != own.end())
                return true;
            error = value.where + ": " + key + " '" + item +
                    "' is a page on this computer, which any local user could serve by taking "
                    "its port first; allow the https:// origin the page is served from (the "
                    "page vessikd serves itself needs no allow-origin)";
            return false;
        });
    };
    return refuse_loopback("allow-origin") && refuse_loopback("events-allow-origin");
}

// One name of a user list: a user, or a group written @name.
bool user_setting(const std::string &key, const std::string &name, std::vector<uid_t> &users,
                  std::vector<gid_t> &groups, std::string &error)
{
    char buffer[kNameBufferBytes];
    if (!name.empty() && name[0] == kGroupMark) {
        group entry{};
        group *found = nullptr;
        if (getgrnam_r(name.c_str() + 1, &entry, buffer, sizeof(buffer), &found) != 0 ||
            found == nullptr) {
            error = key + ": there is no group '" + name.substr(1) + "'";
            return false;
        }
        groups.push_back(entry.gr_gid);
        return true;
    }
    passwd entry{};
    passwd *found = nullptr;
    if (getpwnam_r(name.c_str(), &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr) {
        error = key + ": there is no user '" + name + "' (a group is written @name)";
        return false;
    }
    users.push_back(entry.pw_uid);
    return true;
}

bool user_list(const Settings &s, const std::string &key, std::vector<uid_t> &users,
               std::vector<gid_t> &groups, std::string &error)
{
    users.clear();
    groups.clear();
    return each_list_item(s, key, [&](const SettingValue &, const std::string &name) {
        return user_setting(key, name, users, groups, error);
    });
}

bool users_settings(const Settings &s, Config &config, std::string &error)
{
    return user_list(s, "allow-users", config.allowed_users, config.allowed_groups, error) &&
           user_list(s, "events-allow-users", config.event_users, config.event_groups, error);
}

bool answer_driven_setting(const Settings &s, Config &config, std::string &error)
{
    const auto it = s.find("answer-driven");
    if (it == s.end())
        return true;
    const std::string &value = it->second.back().text;
    if (value != "true" && value != "false") {
        error =
            it->second.back().where + ": answer-driven must be true or false, not '" + value + "'";
        return false;
    }
    config.answer_driven = value == "true";
    return true;
}

bool card_events_setting(const Settings &s, Config &config, std::string &error)
{
    const auto it = s.find("card-events");
    if (it == s.end())
        return true;
    const std::string &value = it->second.back().text;
    if (value != "on" && value != "off") {
        error = it->second.back().where + ": card-events must be on or off, not '" + value + "'";
        return false;
    }
    config.card_events = value == "on";
    return true;
}

bool serial_settings(const Settings &s, Config &config, std::string &error)
{
    config.serial_readers.clear();
    const auto it = s.find("serial-readers");
    if (it == s.end())
        return true;
    for (const SettingValue &value : it->second) {
        if (!parse_serial_readers(value.text, config.serial_readers, error))
            return false;
    }
    return true;
}

// One DEVICE[@RATE] as the location the library opens it by: the library
// parses it and writes it back, leaving the default rate out.
bool serial_location(const std::string &item, std::string &location, std::string &error)
{
    const std::string device = item.substr(0, item.rfind('@'));
    if (device.size() < 2 || device[0] != '/') {
        error = "serial-readers: '" + item + "' does not name a device by its full path";
        return false;
    }
    vessik::Location parsed;
    char text[vessik::kLocationBytes];
    const std::string named = vessik::kSerialLocationPrefix + item;
    if (vessik::ParseLocation(named.c_str(), &parsed) != VESSIK_OK ||
        !vessik::FormatSerialLocation(parsed.serial_device, parsed.serial_rate, text,
                                      sizeof text)) {
        char rates[vessik::kLocationBytes];
        error = "serial-readers: '" + item + "' ";
        error +=
            item.find('@') == std::string::npos || !vessik::FormatModuleRates(rates, sizeof rates)
                ? "is not a serial line the library can open (a path too long?)"
                : std::string("asks for a rate the modules do not offer (") + rates + ")";
        return false;
    }
    location = text;
    return true;
}

bool token_settings(const Settings &s, const FileOwners &owners, Config &config, std::string &error)
{
    const auto token = s.find("token");
    const auto file = s.find("token-file");
    if (token != s.end() && file != s.end()) {
        error = "token and token-file are both set; keep one";
        return false;
    }
    if (token != s.end()) {
        config.token = token->second.back().text;
        return check_token(config.token, "token", error);
    }
    if (file != s.end())
        return read_token_file(file->second.back().text, owners, config.token, error);
    return true;
}

} // namespace

std::string serial_device_of(const std::string &location)
{
    vessik::Location parsed;
    if (vessik::ParseLocation(location.c_str(), &parsed) != VESSIK_OK ||
        parsed.kind != vessik::LocationKind::Serial)
        return std::string();
    return parsed.serial_device;
}

bool parse_serial_readers(const std::string &value, std::vector<std::string> &locations,
                          std::string &error)
{
    std::string items = value;
    for (char &c : items)
        c = c == ':' ? ',' : c;
    for (const std::string &item : split_list(items)) {
        std::string location;
        if (!serial_location(item, location, error))
            return false;
        if (std::find(locations.begin(), locations.end(), location) == locations.end())
            locations.push_back(location);
    }
    return true;
}

bool is_loopback_address(const std::string &address)
{
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return ntohl(v4.s_addr) == INADDR_LOOPBACK;
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6) != 0;
    return false;
}

bool normalise_origin(const std::string &text, std::string &origin)
{
    std::string lower;
    for (const char c : text)
        lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    const size_t scheme_end = lower.find("://");
    if (scheme_end == std::string::npos)
        return false;
    const std::string scheme = lower.substr(0, scheme_end);
    const std::string authority = lower.substr(scheme_end + 3);
    if (scheme != "http" && scheme != "https")
        return false;
    if (authority.empty() || authority.find_first_of("/?#@ \t\\") != std::string::npos)
        return false;
    origin = lower;
    return true;
}

CommandLine parse_command_line(int argc, char **argv, std::string &config_path,
                               bool &config_path_given, Settings &settings, std::string &error)
{
    config_path = kDefaultConfigPath;
    config_path_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return CommandLine::Help;
        if (arg == "--version")
            return CommandLine::Version;
        if (arg.compare(0, 2, "--") != 0) {
            error = "unexpected argument '" + arg + "'";
            return CommandLine::Error;
        }
        const size_t eq = arg.find('=');
        const std::string key = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        std::string value;
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = "--" + key + " needs a value";
            return CommandLine::Error;
        }
        if (key == "config") {
            config_path = value;
            config_path_given = true;
            continue;
        }
        if (!add_setting(key, value, "--" + key, settings, error)) {
            error = "unknown option --" + key;
            return CommandLine::Error;
        }
    }
    return CommandLine::Run;
}

bool parse_config_text(const std::string &text, const std::string &origin, Settings &settings,
                       std::string &error)
{
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string content = trim(line);
        if (content.empty() || content[0] == '#')
            continue;
        const size_t eq = content.find('=');
        const std::string where = origin + ":" + std::to_string(number) + ": ";
        if (eq == std::string::npos) {
            error = where + "expected key = value";
            return false;
        }
        const std::string key = trim(content.substr(0, eq));
        const std::string value = trim(content.substr(eq + 1));
        if (!add_setting(key, value, where.substr(0, where.size() - 2), settings, error)) {
            error = where + error;
            return false;
        }
    }
    return true;
}

FileOwners this_service()
{
    return FileOwners{geteuid(), getegid()};
}

bool load_config_file(const std::string &path, bool required, Settings &settings,
                      std::string &error, const FileOwners &owners)
{
    std::string text;
    struct stat st {};
    if (!read_whole_file(path, text, st)) {
        if (!required && errno == ENOENT)
            return true;
        error = path + ": " + std::strerror(errno);
        return false;
    }
    // Only a regular file has permissions of its own to judge (/dev/null
    // is writable by all, and holds nothing).
    const bool regular = S_ISREG(st.st_mode);
    if (regular && !file_trusted(path, st, owners, error))
        return false;
    if (!parse_config_text(text, path, settings, error))
        return false;
    if (regular && settings.count("token") != 0 && !readable_by_service_only(st, owners)) {
        error = path + ": holds a token, and others can read it (mode " + mode_text(st.st_mode) +
                "); put the token in a token-file only the service can read";
        return false;
    }
    return true;
}

bool build_config(const Settings &file, const Settings &overrides, Config &config,
                  std::string &error, const FileOwners &owners)
{
    Settings s = file;
    for (const auto &entry : overrides) {
        s[entry.first] = entry.second;
        // A token given one way replaces a token given the other way.
        if (entry.first == "token" && overrides.count("token-file") == 0)
            s.erase("token-file");
        if (entry.first == "token-file" && overrides.count("token") == 0)
            s.erase("token");
    }

    unsigned long port = kDefaultPort;
    unsigned long request_bytes = config.max_request_bytes;
    unsigned long deadline = config.read_deadline_ms;
    unsigned long max_deadline = config.max_deadline_ms;
    unsigned long streams = config.max_event_streams;
    if (!listen_settings(s, config, error) || !origin_settings(s, config, error) ||
        !users_settings(s, config, error) || !card_events_setting(s, config, error) ||
        !answer_driven_setting(s, config, error) || !token_settings(s, owners, config, error) ||
        !serial_settings(s, config, error) ||
        !number_setting(s, "port", 0, kMaxPort, port, error) ||
        !number_setting(s, "max-request-bytes", kMinRequestBytes, kMaxRequestBytes, request_bytes,
                        error) ||
        !number_setting(s, "max-deadline-ms", 1, kMaxDeadlineMs, max_deadline, error) ||
        !number_setting(s, "read-deadline-ms", 1, max_deadline, deadline, error) ||
        !number_setting(s, "max-event-streams", 1, kMaxEventStreams, streams, error))
        return false;
    config.port = static_cast<int>(port);
    if (!loopback_origins_refused(s, config, error))
        return false;
    config.max_request_bytes = request_bytes;
    config.read_deadline_ms = static_cast<unsigned>(deadline);
    config.max_deadline_ms = static_cast<unsigned>(max_deadline);
    config.max_event_streams = static_cast<unsigned>(streams);
    return true;
}

const char *usage_text()
{
    return "Usage: vessikd [OPTIONS]\n"
           "Owns the identity-card reader and serves it to web pages on this computer\n"
           "over HTTP on the loopback interface only.\n"
           "\n"
           "  --config FILE             settings file (default " VESSIKD_DEFAULT_CONFIG ";\n"
           "                            a missing default file is fine)\n"
           "  --listen ADDR             127.0.0.1, ::1 or localhost (both); may repeat\n"
           "                            (default: 127.0.0.1 and ::1)\n"
           "  --port N                  TCP port (default 19904; 0: any free port)\n"
           "  --allow-origin ORIGIN     a web origin allowed to call, e.g.\n"
           "                            https://counter.example.org; may repeat\n"
           "  --events-allow-origin ORIGIN\n"
           "                            an origin allowed to call whose event stream is\n"
           "                            also sent the cards laid on the reader; may repeat\n"
           "  --allow-users NAME        a user (or @group) allowed to connect, beside root,\n"
           "                            vessikd's own user and the user at the seat; may repeat\n"
           "  --events-allow-users NAME a user (or @group) whose event streams are sent\n"
           "                            the cards laid on the reader, beside the user at\n"
           "                            the seat (and who may connect); may repeat\n"
           "  --card-events on|off      off: event streams hear of no card at all, cards\n"
           "                            are read on request only (default on)\n"
           "  --answer-driven true|false\n"
           "                            true: a read takes the module's answer as soon as\n"
           "                            it is whole, not after a fixed 0.9 s (default false)\n"
           "  --token TOKEN             ask every API call for 'Authorization: Bearer TOKEN'\n"
           "  --token-file FILE         the same, the token read from FILE's first line (a\n"
           "                            file others can read or write is refused)\n"
           "  --max-request-bytes N     largest request body (default 4096)\n"
           "  --read-deadline-ms N      a read's deadline when the request names none\n"
           "                            (default 10000)\n"
           "  --max-deadline-ms N       the longest deadline a request may ask (default 60000)\n"
           "  --max-event-streams N     event streams open at once (default 16; one user may\n"
           "                            open half of them, one origin a quarter)\n"
           "  --serial-readers LIST     security modules on serial lines to serve beside\n"
           "                            the USB readers: devices separated by ':', each\n"
           "                            with @RATE if not 115200\n"
           "                            (/dev/ttyS1@57600:/dev/ttyUSB0); may repeat\n"
           "  --help, --version\n"
           "\n"
           "Every option is also a setting of the file, written without the dashes\n"
           "(port = 19904); options on the command line replace the file's. Started by\n"
           "systemd for vessikd.socket, it serves that unit's sockets instead of listen\n"
           "and port.\n"
           "\n"
           "Only root, vessikd's own user, a user with an active session at this\n"
           "computer's seat and the users of allow-users and events-allow-users may\n"
           "connect; the kernel tells who is behind each connection. Cards laid on the\n"
           "reader go to the event streams of the user at the seat and of the users of\n"
           "events-allow-users (every process of theirs), and of those only to the\n"
           "page vessikd serves, local programs and the origins of events-allow-origin.\n"
           "\n"
           "Exit status: 0 after SIGTERM or SIGINT; 1 when the service cannot start;\n"
           "2 for a bad option or setting, a listen address off the loopback among them.\n";
}

} // namespace vessikd
