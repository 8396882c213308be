// SPDX-License-Identifier: LGPL-2.1-or-later
// Runs a fuzz target once over every input file given on the command line,
// or found in the folders given there, without libFuzzer: the ordinary test
// build replays the corpus and the regression inputs with it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> InputsUnder(const fs::path &arg)
{
    std::vector<fs::path> files;
    if (fs::is_directory(arg)) {
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(arg))
            if (entry.is_regular_file())
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
    } else if (fs::is_regular_file(arg)) {
        files.push_back(arg);
    }
    return files;
}

} // namespace

int main(int argc, char **argv)
{
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::vector<fs::path> files = InputsUnder(argv[i]);
        if (files.empty()) {
            std::fprintf(stderr, "no input files in %s\n", argv[i]);
            return 1;
        }
        for (const fs::path &file : files) {
            std::ifstream stream(file, std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)),
                                             std::istreambuf_iterator<char>());
            std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    std::fprintf(stderr, "replayed %zu inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
