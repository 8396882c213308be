// SPDX-License-Identifier: LGPL-2.1-or-later
// The refusals vessikd tells of (see refusal_log.h).
#include "refusal_log.h"

#include <cstdio>

namespace vessikd {

namespace {

// Longer than any origin a browser sends.
constexpr size_t kMaxLoggedChars = 200;
constexpr char kFirstPrintable = ' ';
constexpr char kLastPrintable = '~';

void to_stderr(const std::string &line)
{
    std::fprintf(stderr, "vessikd: %s\n", line.c_str());
}

} // namespace

RefusalLog::RefusalLog(Writer write, size_t max_told)
    : write_(write != nullptr ? std::move(write) : Writer(to_stderr)), max_told_(max_told)
{
}

void RefusalLog::refused(const std::string &line)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (told_.count(line) != 0)
        return;
    if (told_.size() >= max_told_) {
        if (!bound_told_)
            write_(std::to_string(max_told_) +
                   " refusals told; further refusals are not logged individually");
        bound_told_ = true;
        return;
    }
    told_.insert(line);
    write_(line);
}

std::string loggable(const std::string &text)
{
    std::string shown;
    for (const char c : text.substr(0, kMaxLoggedChars))
        shown += c >= kFirstPrintable && c <= kLastPrintable ? c : '?';
    if (text.size() > kMaxLoggedChars)
        shown += "...";
    return shown;
}

} // namespace vessikd
