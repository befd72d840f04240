#include "service/connection_guard.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "service/log.h"

namespace {

// "ADDRESS:PORT" of a socket address, as the HTTP library names clients.
std::string Name(const sockaddr_storage& address, int* port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto* four = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &four->sin_addr, text, sizeof text);
        *port = ntohs(four->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* six = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &six->sin6_addr, text, sizeof text);
        *port = ntohs(six->sin6_port);
    } else {
        return "";
    }
    return text;
}

std::string Key(const std::string& address, int port) {
    return address + ":" + std::to_string(port);
}

// The connections this process has accepted on port: descriptor, client.
std::vector<std::pair<int, std::string>> AcceptedConnections(int port) {
    std::vector<std::pair<int, std::string>> found;
    DIR* descriptors = opendir("/proc/self/fd");
    if (!descriptors) return found;
    while (const dirent* entry = readdir(descriptors)) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_storage local = {}, peer = {};
        socklen_t localSize = sizeof local, peerSize = sizeof peer;
        int localPort = 0, peerPort = 0;
        if (fd <= 2 || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
            Name(local, &localPort).empty() || localPort != port ||
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
            continue;
        const std::string address = Name(peer, &peerPort);
        found.push_back({fd, Key(address, peerPort)});
    }
    closedir(descriptors);
    return found;
}

}  // namespace

ConnectionGuard::ConnectionGuard(int port, std::chrono::seconds deadline, std::size_t mostConnections)
    : port_(port), deadline_(deadline), mostConnections_(mostConnections), watcher_(&ConnectionGuard::Watch, this) {}

ConnectionGuard::~ConnectionGuard() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    watcher_.join();
}

void ConnectionGuard::RequestArrived(const std::string& address, int port) {
    const std::lock_guard<std::mutex> lock(mutex_);
    connections_[Key(address, port)].answering = true;
}

void ConnectionGuard::AnswerSent(const std::string& address, int port) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Connection& connection = connections_[Key(address, port)];
    connection.answering = false;
    connection.since = std::chrono::steady_clock::now();
}

void ConnectionGuard::Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; })) {
        lock.unlock();
        Look();
        lock.lock();
    }
}

// Ends a connection by shutting its socket down: the worker serving it
// sees the end at once and closes it itself.
void ConnectionGuard::Look() {
    const auto open = AcceptedConnections(port_);
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [key, connection] : connections_) connection.seen = false;
    std::size_t count = 0;
    for (const auto& [fd, key] : open) {
        auto [entry, made] = connections_.try_emplace(key);
        Connection& connection = entry->second;
        if (made) connection.since = now;
        connection.seen = true;
        const bool late = !connection.answering && now - connection.since > deadline_;
        const bool tooMany = ++count > mostConnections_ && !connection.answering;
        if (late || tooMany) {
            Log(std::string("http ") + key + ": closed: " + (late ? "no whole request in time" : "too many connections"));
            shutdown(fd, SHUT_RDWR);
        }
    }
    for (auto entry = connections_.begin(); entry != connections_.end();)
        entry = entry->second.seen ? std::next(entry) : connections_.erase(entry);
}
