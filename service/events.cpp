#include "service/events.h"

namespace {

// A reader this far behind has stopped reading: it is cut off, and
// starts again from the whole state when it comes back.
constexpr std::size_t kMostWaiting = 4096;

}  // namespace

EventQueue::Taken EventQueue::Take(std::string* text, const std::function<void()>& sleep) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!waiting_.empty()) {
        *text = std::move(waiting_.front());
        waiting_.pop_front();
        return Text;
    }
    if (closed_) return Closed;
    sleep();
    asleep_ = true;
    return Nothing;
}

// With the queue's lock held, so that a wake never comes before its sleep.
void EventQueue::Push(std::string text, bool front) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!text.empty()) {
        if (waiting_.size() >= kMostWaiting) {
            closed_ = true;
            waiting_.clear();
        } else if (front) {
            waiting_.push_front(std::move(text));
        } else {
            waiting_.push_back(std::move(text));
        }
    } else {
        closed_ = true;
    }
    if (asleep_) {
        asleep_ = false;
        wake_();
    }
}

void EventQueue::Nudge() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!asleep_) return;
    waiting_.push_back(": still here\n\n");
    asleep_ = false;
    wake_();
}

std::shared_ptr<EventQueue> Events::Follow(const std::function<std::deque<std::string>()>& first,
                                           std::function<void()> wake) {
    auto queue = std::make_shared<EventQueue>();
    queue->wake_ = std::move(wake);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (closed_ || queues_.size() >= mostQueues_) return nullptr;
        queues_.insert(queue);
    }
    std::deque<std::string> state = first();
    for (auto text = state.rbegin(); text != state.rend(); ++text) queue->Push(std::move(*text), true);
    return queue;
}

void Events::Unfollow(const std::shared_ptr<EventQueue>& queue) {
    const std::lock_guard<std::mutex> lock(mutex_);
    queues_.erase(queue);
}

std::size_t Events::Following() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return queues_.size();
}

void Events::Publish(const std::string& text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& queue : queues_) queue->Push(text, false);
}

void Events::Close() {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (const auto& queue : queues_) queue->Push("", false);
}
