// Limits the HTTP library has no setting for: how long a client may take to
// send a whole request, and how many connections may be open at once. A
// worker thread serves one connection at a time, so a client that sends a
// byte a second would otherwise hold one for hours, and enough of them all.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class ConnectionGuard {
public:
    ConnectionGuard(int port, std::chrono::seconds deadline, std::size_t mostConnections);
    ~ConnectionGuard();

    // From the request handlers: a request has arrived whole, or its answer
    // has been sent and the connection waits for the next one.
    void RequestArrived(const std::string& address, int port);
    void AnswerSent(const std::string& address, int port);

private:
    struct Connection {
        std::chrono::steady_clock::time_point since;  // of the wait for a request
        bool answering = false;
        bool seen = false;
    };

    void Watch();
    void Look();

    const int port_;
    const std::chrono::seconds deadline_;
    const std::size_t mostConnections_;
    std::mutex mutex_;
    std::map<std::string, Connection> connections_;  // by the client's address and port
    bool stopping_ = false;
    std::condition_variable wake_;
    std::thread watcher_;
};
