// SPDX-License-Identifier: LGPL-2.1-or-later
// Time, string and logging helpers exported with the library.
#include "Public.h"

#include "diag.h"
#include "timing.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/time.h>

namespace {
constexpr uint64_t kMicrosPerMilli = 1000;
constexpr int kTmBaseYear = 1900;
} // namespace

int64_t GetTickCount()
{
    return static_cast<int64_t>(vessik::MonotonicUs() / kMicrosPerMilli);
}

char *chartrimright(char *text)
{
    if (text == nullptr)
        return text;
    // The first character is kept even when it is a space.
    int i = static_cast<int>(strlen(text)) - 1;
    while (i > 0 && text[i] == ' ') {
        text[i] = '\0';
        --i;
    }
    return text;
}

// Strings by value: the exported signature (its mangled name) is what clients
// link against.
// cppcheck-suppress passedByValue
std::vector<std::string> split(std::string text, std::string separator)
{
    std::vector<std::string> pieces;
    // An empty separator occurs everywhere and would never advance the search.
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    // The appended separator makes the last piece come out like the others.
    text += separator;
    const int n = static_cast<int>(text.length());
    const int step = static_cast<int>(separator.length()) - 1;
    for (int i = 0; i < n; ++i) {
        const std::string::size_type p = text.find(separator, i);
        if (p != std::string::npos && static_cast<int>(p) < n) {
            pieces.push_back(text.substr(i, p - i));
            i = static_cast<int>(p) + step;
        }
    }
    return pieces;
}

void LOG_Str(std::string /*heading*/, std::string /*detail*/) {}

// cppcheck-suppress passedByValue
void LOG_Int(std::string tag, int value)
{
    timeval now{};
    gettimeofday(&now, nullptr);
    // localtime_r: the same conversion as localtime without its shared buffer.
    tm local{};
    localtime_r(&now.tv_sec, &local);
    vessik::diag::PutFormat(vessik::diag::kFormatLogInt, local.tm_year + kTmBaseYear,
                            local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                            local.tm_sec, static_cast<long>(now.tv_usec), tag.c_str(), value);
}
