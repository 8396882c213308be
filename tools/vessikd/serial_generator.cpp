// SPDX-License-Identifier: LGPL-2.1-or-later
// vessikd-serial-generator: a systemd generator. Where vessikd's settings
// name serial readers, it writes the drop-in that lets vessikd.service open
// them (serial_unit.h); otherwise it writes nothing, and the unit's sandbox
// stays as shipped. systemd runs it as: vessikd-serial-generator NORMAL
// [EARLY LATE].
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "config.h"
#include "serial_unit.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr mode_t kFolderMode = 0755;

bool write_file(const std::string &path, const std::string &text)
{
    FILE *out = std::fopen(path.c_str(), "we");
    if (out == nullptr)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    return std::fclose(out) == 0 && written;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 4) {
        std::fputs("usage: vessikd-serial-generator NORMAL_DIR [EARLY_DIR LATE_DIR]\n", stderr);
        return kExitFailed;
    }
    std::string drop_in;
    std::string error;
    if (!vessikd::serial_drop_in_for(vessikd::kDefaultConfigPath, drop_in, error)) {
        std::fprintf(stderr, "vessikd-serial-generator: %s\n", error.c_str());
        return kExitFailed;
    }
    if (drop_in.empty())
        return kExitOk;
    const std::string folder = std::string(argv[1]) + "/vessikd.service.d";
    if (mkdir(folder.c_str(), kFolderMode) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "vessikd-serial-generator: %s: %s\n", folder.c_str(),
                     std::strerror(errno));
        return kExitFailed;
    }
    const std::string path = folder + "/" + vessikd::kSerialDropInName;
    if (!write_file(path, drop_in)) {
        std::fprintf(stderr, "vessikd-serial-generator: %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return kExitFailed;
    }
    return kExitOk;
}
