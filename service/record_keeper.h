// Writes the boards' records on a thread of its own, so that the disk
// never holds up a transmission. Only the latest state of each record is
// written; each write is whole or not at all, so a crash may lose the last
// moment's changes but never leaves a record that cannot be read.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "board/record.h"

class RecordKeeper {
public:
    RecordKeeper();
    // Writes what is still waiting, then stops.
    ~RecordKeeper();

    void Put(const std::string& path, const BoardState& state);

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::string, BoardState> waiting_;
    std::map<std::string, std::string> problems_;  // the last failure said, per record
    bool stopping_ = false;
    std::thread writer_;
};
