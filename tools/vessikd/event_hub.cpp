// Events for the open event streams (see event_hub.h).
#include "event_hub.h"

namespace vessikd {

int EventHub::subscribe()
{
    int id = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_ || queues_.size() >= max_streams_)
            return -1;
        id = next_id_++;
        queues_[id];
    }
    if (count_listener_)
        count_listener_();
    return id;
}

void EventHub::unsubscribe(int id)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queues_.erase(id) == 0)
            return;
    }
    if (count_listener_)
        count_listener_();
}

void EventHub::publish(const std::string &name, const std::string &data)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &entry : queues_) {
            std::deque<Event> &queue = entry.second;
            if (queue.size() >= kQueueLimit)
                queue.pop_front();
            queue.push_back(Event{name, data});
        }
    }
    changed_.notify_all();
}

bool EventHub::next(int id, std::vector<Event> &out, std::chrono::milliseconds timeout)
{
    out.clear();
    std::unique_lock<std::mutex> lock(mutex_);
    const auto has_news = [&] {
        const auto it = queues_.find(id);
        return closed_ || (it != queues_.end() && !it->second.empty());
    };
    changed_.wait_for(lock, timeout, has_news);
    if (closed_)
        return false;
    const auto it = queues_.find(id);
    if (it == queues_.end())
        return false;
    out.assign(it->second.begin(), it->second.end());
    it->second.clear();
    return true;
}

void EventHub::close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

unsigned EventHub::streams() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<unsigned>(queues_.size());
}

} // namespace vessikd
