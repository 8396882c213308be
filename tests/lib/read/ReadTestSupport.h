// Shared pieces of the card-read tests: a recording status callback, output
// capture, and the conversation as the reader heard it.
#ifndef VESSIK_TESTS_READ_SUPPORT_H
#define VESSIK_TESTS_READ_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "testbus.h"

namespace readtest {

inline std::vector<std::pair<int, std::string>> &Messages()
{
    static std::vector<std::pair<int, std::string>> messages;
    return messages;
}

inline void RecordMessage(int kind, void *text)
{
    Messages().emplace_back(kind, static_cast<const char *>(text));
}

inline std::vector<std::string> MessageTexts()
{
    std::vector<std::string> texts;
    for (const auto &m : Messages())
        texts.push_back(m.second);
    return texts;
}

struct Output {
    std::string out;
    std::string err;
};

inline Output Capture(const std::function<void()> &fn)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    fn();
    fflush(stdout);
    fflush(stderr);
    Output o;
    o.out = testing::internal::GetCapturedStdout();
    o.err = testing::internal::GetCapturedStderr();
    return o;
}

// The commands the module received, one letter each: S status, F find,
// E select, R read card; '?' for anything else. Taken from the body stages.
inline std::string Commands()
{
    std::string commands;
    for (const testbus::Call &c : testbus::calls()) {
        if (c.name != "libusb_bulk_transfer" || c.endpoint != 0x06 || c.data.size() < 2)
            continue;
        const int cmd = (c.data[0] << 8) | c.data[1];
        switch (cmd) {
        case 0x12FF:
            commands += 'S';
            break;
        case 0x2001:
            commands += 'F';
            break;
        case 0x2002:
            commands += 'E';
            break;
        case 0x3001:
            commands += 'R';
            break;
        default:
            commands += '?';
            break;
        }
    }
    return commands;
}

} // namespace readtest

#endif
