// SPDX-License-Identifier: LGPL-2.1-or-later
// The one place the library writes to standard output and standard error,
// and the log handler of the extended interface.
#include "diag.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

using namespace vessik::diag;

// Longest message handed to the handler; longer ones are cut.
constexpr size_t kLogLineBytes = 512;

// initial-exec: a flag this small fits the static TLS every process keeps
// spare, and the library then needs no call into the dynamic loader.
__attribute__((tls_model("initial-exec"))) thread_local bool t_extended = false;

// The handler, read on every message: the level is checked lock-free, the
// handler and its context are taken together under the mutex.
std::atomic<int> g_log_level{0};
std::mutex g_log_mu;
LogHandler g_log_handler = nullptr;
void *g_log_context = nullptr;

void LogLine(int level, const char *line)
{
    LogHandler handler = nullptr;
    void *context = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_log_mu);
        handler = g_log_handler;
        context = g_log_context;
    }
    if (handler != nullptr)
        handler(level, line, context);
}

// A printed text as one log line: without the line ends it carries.
void LogPrinted(int level, const char *text)
{
    if (!LogWanted(level))
        return;
    char line[kLogLineBytes];
    snprintf(line, sizeof line, "%s", text);
    size_t len = strlen(line);
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
        line[--len] = '\0';
    LogLine(level, line);
}

} // namespace

void vessik::diag::SetLogHandler(int level, LogHandler handler, void *context)
{
    std::lock_guard<std::mutex> lock(g_log_mu);
    g_log_handler = handler;
    g_log_context = context;
    g_log_level.store(handler != nullptr && level > 0 ? level : 0);
}

bool vessik::diag::LogWanted(int level)
{
    return level > 0 && level <= g_log_level.load(std::memory_order_relaxed);
}

void vessik::diag::Log(int level, const char *message)
{
    if (LogWanted(level))
        LogLine(level, message);
}

void vessik::diag::LogFormat(int level, const char *format, ...)
{
    if (!LogWanted(level))
        return;
    char line[kLogLineBytes];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    LogLine(level, line);
}

vessik::diag::ExtendedScope::ExtendedScope() : outer_(t_extended)
{
    t_extended = true;
}

vessik::diag::ExtendedScope::~ExtendedScope()
{
    t_extended = outer_;
}

void vessik::diag::PutLine(const char *line)
{
    if (t_extended)
        LogPrinted(kLogDebug, line);
    else
        puts(line);
}

void vessik::diag::PutError(const char *text)
{
    if (!t_extended) {
        perror(text);
        return;
    }
    const int error = errno;
    if (LogWanted(kLogWarning)) {
        // perror's form, text then the system's error, on one line.
        size_t len = strlen(text);
        while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r'))
            --len;
        char line[kLogLineBytes];
        snprintf(line, sizeof line, "%.*s: %s", static_cast<int>(len), text, strerror(error));
        LogLine(kLogWarning, line);
    }
}

void vessik::diag::PutFormat(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    if (t_extended) {
        if (LogWanted(kLogDebug)) {
            char line[kLogLineBytes];
            vsnprintf(line, sizeof line, format, args);
            LogPrinted(kLogDebug, line);
        }
    } else {
        vprintf(format, args);
    }
    va_end(args);
}

void vessik::diag::PutErrorText(const char *text)
{
    if (t_extended)
        LogPrinted(kLogWarning, text);
    else
        fputs(text, stderr);
}

void vessik::diag::PutChar(char c)
{
    if (!t_extended)
        putchar(c);
}
