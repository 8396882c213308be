// SPDX-License-Identifier: LGPL-2.1-or-later
// The refusals vessikd tells of: each cause from each peer once (a page
// refused for its origin asks again and again), up to a bound, and then one
// line that says the rest go untold. The lines name who was refused and
// why, never what a request carried.
#ifndef VESSIKD_REFUSAL_LOG_H
#define VESSIKD_REFUSAL_LOG_H

#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <string>

namespace vessikd {

class RefusalLog {
  public:
    // Refusals told one by one: beyond them a peer could grow the service.
    static constexpr size_t kMaxTold = 256;
    using Writer = std::function<void(const std::string &line)>;

    // `write` gets each line; by default "vessikd: LINE" goes to stderr.
    explicit RefusalLog(Writer write = nullptr, size_t max_told = kMaxTold);

    // A refusal, its cause and peer in `line`: told the first time only.
    void refused(const std::string &line);

  private:
    const Writer write_;
    const size_t max_told_;
    std::mutex mutex_;
    std::set<std::string> told_;
    bool bound_told_ = false;
};

// Text a peer sent (an origin), fit for a log line: its printable ASCII,
// '?' for the rest, cut short.
std::string loggable(const std::string &text);

} // namespace vessikd

#endif
