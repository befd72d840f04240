#include "service/events.h"

namespace {

// A reader this far behind has stopped reading: it is cut off, and
// starts again from the whole state when it comes back.
constexpr std::size_t kMostWaiting = 4096;

}  // namespace

bool EventQueue::Next(std::string* text, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, wait, [this] { return closed_ || !waiting_.empty(); });
    if (closed_) return false;
    text->clear();
    if (!waiting_.empty()) {
        *text = std::move(waiting_.front());
        waiting_.pop_front();
    }
    return true;
}

std::shared_ptr<EventQueue> Events::Follow(const std::vector<std::string>& first) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || queues_.size() >= mostQueues_) return nullptr;
    auto queue = std::make_shared<EventQueue>();
    queue->waiting_.assign(first.begin(), first.end());
    queues_.insert(queue);
    return queue;
}

void Events::Unfollow(const std::shared_ptr<EventQueue>& queue) {
    const std::lock_guard<std::mutex> lock(mutex_);
    queues_.erase(queue);
}

void Events::Publish(const std::string& text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& queue : queues_) {
        {
            const std::lock_guard<std::mutex> queued(queue->mutex_);
            if (queue->waiting_.size() >= kMostWaiting)
                queue->closed_ = true;
            else
                queue->waiting_.push_back(text);
        }
        queue->arrived_.notify_one();
    }
}

void Events::Close() {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (const auto& queue : queues_) {
        {
            const std::lock_guard<std::mutex> queued(queue->mutex_);
            queue->closed_ = true;
        }
        queue->arrived_.notify_all();
    }
}
