// SPDX-License-Identifier: LGPL-2.1-or-later
#include "status_recorder.h"

#include <mutex>

namespace testsupport {

namespace {

std::mutex g_mu;
std::vector<StatusRecorder::Message> g_messages;

} // namespace

StatusRecorder &StatusRecorder::Get()
{
    static StatusRecorder recorder;
    return recorder;
}

void StatusRecorder::Record(int kind, void *text)
{
    std::lock_guard<std::mutex> lock(g_mu);
    g_messages.emplace_back(kind, static_cast<const char *>(text));
}

std::vector<StatusRecorder::Message> StatusRecorder::Messages() const
{
    std::lock_guard<std::mutex> lock(g_mu);
    return g_messages;
}

std::vector<std::string> StatusRecorder::Texts() const
{
    std::vector<std::string> texts;
    for (const Message &m : Messages())
        texts.push_back(m.second);
    return texts;
}

std::vector<std::string> StatusRecorder::Tagged() const
{
    std::vector<std::string> tagged;
    for (const Message &m : Messages())
        tagged.push_back(std::to_string(m.first) + ":" + m.second);
    return tagged;
}

void StatusRecorder::Clear()
{
    std::lock_guard<std::mutex> lock(g_mu);
    g_messages.clear();
}

} // namespace testsupport
