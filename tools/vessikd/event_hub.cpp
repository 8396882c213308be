// SPDX-License-Identifier: LGPL-2.1-or-later
// Events for the open event streams (see event_hub.h).
#include "event_hub.h"

#include <algorithm>

namespace vessikd {

namespace {

constexpr unsigned kUserShare = 2;   // one user: half the streams
constexpr unsigned kOriginShare = 4; // one origin: a quarter

} // namespace

EventHub::EventHub(unsigned max_streams)
    : max_streams_(max_streams), max_per_user_(std::max(1u, max_streams / kUserShare)),
      max_per_origin_(std::max(1u, max_streams / kOriginShare))
{
}

bool EventHub::within_limits(const StreamOwner &owner) const
{
    unsigned same_user = 0;
    unsigned same_origin = 0;
    for (const auto &entry : streams_) {
        same_user += entry.second.owner.uid == owner.uid ? 1 : 0;
        same_origin += entry.second.owner.origin == owner.origin ? 1 : 0;
    }
    return streams_.size() < max_streams_ && same_user < max_per_user_ &&
           same_origin < max_per_origin_;
}

int EventHub::subscribe(const StreamOwner &owner)
{
    int id = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_ || !within_limits(owner))
            return -1;
        id = next_id_++;
        streams_[id].owner = owner;
    }
    if (count_listener_)
        count_listener_();
    return id;
}

void EventHub::unsubscribe(int id)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (streams_.erase(id) == 0)
            return;
    }
    if (count_listener_)
        count_listener_();
}

void EventHub::push(Stream &stream, Event event)
{
    if (stream.queue.size() >= kQueueLimit)
        stream.queue.pop_front();
    stream.queue.push_back(std::move(event));
}

bool EventHub::wants(const Stream &stream, const std::string &reader)
{
    return stream.owner.reader.empty() || reader.empty() || stream.owner.reader == reader;
}

void EventHub::publish(const std::string &name, const std::string &data, const std::string &reader)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &entry : streams_) {
            if (wants(entry.second, reader))
                push(entry.second, Event{name, data});
        }
    }
    changed_.notify_all();
}

void EventHub::publish_card(const std::string &card_json, const std::string &present_json,
                            const std::string &reader)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &entry : streams_) {
            Stream &stream = entry.second;
            if (!wants(stream, reader))
                continue;
            push(stream, stream.owner.receives_cards ? Event{"card", card_json}
                                                     : Event{"card-present", present_json});
        }
    }
    changed_.notify_all();
}

bool EventHub::next(int id, std::vector<Event> &out, std::chrono::milliseconds timeout)
{
    out.clear();
    std::unique_lock<std::mutex> lock(mutex_);
    const auto has_news = [&] {
        const auto it = streams_.find(id);
        return closed_ || (it != streams_.end() && !it->second.queue.empty());
    };
    changed_.wait_for(lock, timeout, has_news);
    if (closed_)
        return false;
    const auto it = streams_.find(id);
    if (it == streams_.end())
        return false;
    out.assign(it->second.queue.begin(), it->second.queue.end());
    it->second.queue.clear();
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
    return static_cast<unsigned>(streams_.size());
}

} // namespace vessikd
