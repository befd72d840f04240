// The changes on every board, handed to whoever follows them: each event
// stream has a queue of its own, so that a slow reader holds up nobody.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

class EventQueue {
public:
    enum Taken { Text, Nothing, Closed };

    // The next event, or Nothing: then `sleep` is called before the queue
    // is let go, and `wake` (given to Events::Follow) once more arrives.
    Taken Take(std::string* text, const std::function<void()>& sleep);
    // A comment for a reader that has waited long with nothing to read:
    // writing it finds out a reader that has gone.
    void Nudge();

private:
    friend class Events;
    void Push(std::string text, bool front);

    std::mutex mutex_;
    std::deque<std::string> waiting_;
    std::function<void()> wake_;
    bool asleep_ = false;
    bool closed_ = false;
};

class Events {
public:
    explicit Events(std::size_t mostQueues) : mostQueues_(mostQueues) {}

    // A queue that gets every event from now on, then `first()` put before
    // them: taken after the queue is in place, so that no change made in
    // between is lost. nullptr when there are too many.
    std::shared_ptr<EventQueue> Follow(const std::function<std::deque<std::string>()>& first,
                                       std::function<void()> wake);
    void Unfollow(const std::shared_ptr<EventQueue>& queue);
    void Publish(const std::string& text);
    // Closes every queue, for the end of the service.
    void Close();
    std::size_t Following();

private:
    const std::size_t mostQueues_;
    std::mutex mutex_;
    std::set<std::shared_ptr<EventQueue>> queues_;
    bool closed_ = false;
};
