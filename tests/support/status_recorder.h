// SPDX-License-Identifier: LGPL-2.1-or-later
// The status callback of the documented read and of vessik_read, recording
// what it is told. The callback may run on a reading thread while the test
// thread looks, so every access holds a lock.
#ifndef VESSIK_TESTS_SUPPORT_STATUS_RECORDER_H
#define VESSIK_TESTS_SUPPORT_STATUS_RECORDER_H

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class StatusRecorder {
  public:
    using Message = std::pair<int, std::string>;

    // The one recorder the callback writes to (a C callback has no context).
    static StatusRecorder &Get();
    // The callback to hand to the library.
    static void Record(int kind, void *text);

    std::vector<Message> Messages() const;
    // The texts alone, in order.
    std::vector<std::string> Texts() const;
    // "kind:text" for each message, in order.
    std::vector<std::string> Tagged() const;
    void Clear();
};

} // namespace testsupport

#endif
