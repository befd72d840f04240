#include "service/record_keeper.h"

#include "service/log.h"

RecordKeeper::RecordKeeper() : writer_(&RecordKeeper::Run, this) {}

RecordKeeper::~RecordKeeper() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

void RecordKeeper::Put(const std::string& path, const BoardState& state) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        waiting_[path] = state;
    }
    wake_.notify_one();
}

void RecordKeeper::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (waiting_.empty()) return;
        const auto next = waiting_.begin();
        const std::string path = next->first;
        const BoardState state = next->second;
        waiting_.erase(next);
        lock.unlock();
        const std::string problem = WriteRecord(path, state);
        lock.lock();
        if (problem != problems_[path])
            Log(problem.empty() ? "the record " + path + " is written again" : "cannot record the state: " + problem);
        problems_[path] = problem;
    }
}
