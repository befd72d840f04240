#include "service/log.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace {

constexpr std::size_t kMostWaiting = 4096;

class Writer {
public:
    Writer() : thread_(&Writer::Run, this) {}

    ~Writer() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        more_.notify_one();
        thread_.join();
    }

    void Add(const std::string& line) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (waiting_.size() >= kMostWaiting) {
                ++dropped_;
                return;
            }
            waiting_.push_back(line);
        }
        more_.notify_one();
    }

    void Flush() {
        std::unique_lock<std::mutex> lock(mutex_);
        written_.wait(lock, [this] { return waiting_.empty() && !writing_; });
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            more_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (waiting_.empty()) return;
            std::deque<std::string> lines;
            lines.swap(waiting_);
            const std::size_t dropped = dropped_;
            dropped_ = 0;
            writing_ = true;
            lock.unlock();
            for (const std::string& line : lines) std::fprintf(stderr, "%s\n", line.c_str());
            if (dropped) std::fprintf(stderr, "the log fell behind: %zu lines left out\n", dropped);
            std::fflush(stderr);
            lock.lock();
            writing_ = false;
            written_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable more_, written_;
    std::deque<std::string> waiting_;
    std::size_t dropped_ = 0;
    bool writing_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

Writer& TheWriter() {
    static Writer writer;
    return writer;
}

}  // namespace

void Log(const std::string& line) {
    TheWriter().Add(line);
}

void FlushLog() {
    TheWriter().Flush();
}
