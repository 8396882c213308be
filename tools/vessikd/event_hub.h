// SPDX-License-Identifier: LGPL-2.1-or-later
// Events for the open event streams. Each stream has a short queue of its
// own; nothing is kept for streams opened later, so no card outlives its
// delivery here. A card goes with its data only to the streams entitled to
// it; the others hear that a card is there, and may ask for it.
#ifndef VESSIKD_EVENT_HUB_H
#define VESSIKD_EVENT_HUB_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vessikd {

// One event, as a stream sends it.
struct Event {
    std::string name; // the SSE event name
    std::string data; // one line of JSON
};

// Who opened a stream, for the limits and for what it is sent.
struct StreamOwner {
    uid_t uid = 0;
    std::string origin;          // the page's origin; empty for a local program
    bool receives_cards = false; // its user is entitled to cards and its origin narrows not
    std::string reader;          // the one reader whose events it wants; empty: every reader's
};

class EventHub {
  public:
    // Called (outside the hub's lock) after a stream opens or closes; the
    // listener asks streams() for the number, which is never stale.
    using CountListener = std::function<void()>;

    // At most `max_streams` open, at most half of them one user's and at
    // most a quarter of them one origin's (at least one each).
    explicit EventHub(unsigned max_streams);

    void set_count_listener(CountListener listener) { count_listener_ = std::move(listener); }

    // A stream id, or -1 when a limit is reached or the hub is closed.
    int subscribe(const StreamOwner &owner);
    // Closes the stream `id` and drops its queue.
    void unsubscribe(int id);

    // Queues the event for every open stream that wants reader `reader`'s
    // events; an event of no one reader (`reader` empty) goes to every stream.
    void publish(const std::string &name, const std::string &data,
                 const std::string &reader = std::string());
    // A card laid on reader `reader`: "card" with its data for the streams
    // that receive cards, "card-present" with `present_json` (which reader)
    // for the others.
    void publish_card(const std::string &card_json, const std::string &present_json,
                      const std::string &reader = std::string());

    // Moves the stream's queued events into `out`, waiting up to `timeout`
    // for one. false once the hub is closed.
    bool next(int id, std::vector<Event> &out, std::chrono::milliseconds timeout);

    // Ends every stream.
    void close();

    // How many streams are open.
    unsigned streams() const;

  private:
    static constexpr size_t kQueueLimit = 32; // a stream that falls behind loses the oldest

    struct Stream {
        StreamOwner owner;
        std::deque<Event> queue;
    };

    bool within_limits(const StreamOwner &owner) const;
    static bool wants(const Stream &stream, const std::string &reader);
    static void push(Stream &stream, Event event);

    const unsigned max_streams_;
    const unsigned max_per_user_;
    const unsigned max_per_origin_;
    CountListener count_listener_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, Stream> streams_;
    int next_id_ = 0;
    bool closed_ = false;
};

} // namespace vessikd

#endif
