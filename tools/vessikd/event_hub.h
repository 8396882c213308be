// Events for the open event streams. Each stream has a short queue of its
// own; nothing is kept for streams opened later, so no card outlives its
// delivery here.
#ifndef VESSIKD_EVENT_HUB_H
#define VESSIKD_EVENT_HUB_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vessikd {

// One event, as a stream sends it.
struct Event {
    std::string name; // the SSE event name
    std::string data; // one line of JSON
};

class EventHub {
  public:
    // Called (outside the hub's lock) after a stream opens or closes; the
    // listener asks streams() for the number, which is never stale.
    using CountListener = std::function<void()>;

    explicit EventHub(unsigned max_streams) : max_streams_(max_streams) {}

    void set_count_listener(CountListener listener) { count_listener_ = std::move(listener); }

    // A stream id, or -1 when max_streams are open or the hub is closed.
    int subscribe();
    // Closes the stream `id` and drops its queue.
    void unsubscribe(int id);

    // Queues the event for every open stream.
    void publish(const std::string &name, const std::string &data);

    // Moves the stream's queued events into `out`, waiting up to `timeout`
    // for one. false once the hub is closed.
    bool next(int id, std::vector<Event> &out, std::chrono::milliseconds timeout);

    // Ends every stream.
    void close();

    // How many streams are open.
    unsigned streams() const;

  private:
    static constexpr size_t kQueueLimit = 32; // a stream that falls behind loses the oldest

    const unsigned max_streams_;
    CountListener count_listener_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, std::deque<Event>> queues_;
    int next_id_ = 0;
    bool closed_ = false;
};

} // namespace vessikd

#endif
