// The door octolatch-send knocks on: a local socket per board, named from
// its port's real path, on which a sender hands over its whole command
// instead of opening the port. Only a peer that could open the device
// itself is let in (root, the device's owner, a member of its group).
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/board.h"

class HandOff {
public:
    explicit HandOff(std::vector<std::unique_ptr<Board>>& boards);
    ~HandOff();

    // Makes each board's socket and starts listening. A socket follows its
    // port's real path, which changes when an adapter comes back as
    // another device; one that cannot be made is said in the log.
    void Start();
    void Stop();

private:
    struct Door {
        Board* board;
        std::string path;  // "" while there is no socket
        int socket = -1;
        std::string problem;
    };

    void Open(Door& door);
    void Shut(Door& door);
    void Listen();
    void Serve(Board* board, int connection);

    std::vector<std::unique_ptr<Board>>& boards_;
    std::vector<Door> doors_;
    int wake_[2] = {-1, -1};  // a pipe that ends the listening
    std::atomic<bool> stopping_{false};
    std::thread listener_;
    std::mutex mutex_;
    std::condition_variable finished_;
    std::vector<int> connections_;  // each served by a thread of its own
};
