// The changes on every board, handed to whoever follows them: each event
// stream has a queue of its own, so that a slow reader holds up nobody.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class EventQueue {
public:
    // The next event, waiting up to `wait`: true with *text set (or empty
    // when nothing came), false once the queue is closed.
    bool Next(std::string* text, std::chrono::milliseconds wait);

private:
    friend class Events;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> waiting_;
    bool closed_ = false;
};

class Events {
public:
    explicit Events(std::size_t mostQueues) : mostQueues_(mostQueues) {}

    // A queue that starts with `first`; nullptr when there are too many.
    std::shared_ptr<EventQueue> Follow(const std::vector<std::string>& first);
    void Unfollow(const std::shared_ptr<EventQueue>& queue);
    void Publish(const std::string& text);
    // Closes every queue, for the end of the service.
    void Close();

private:
    const std::size_t mostQueues_;
    std::mutex mutex_;
    std::set<std::shared_ptr<EventQueue>> queues_;
    bool closed_ = false;
};
