// The HTTP server: libmicrohttpd, driven by one thread of its own, with
// the limits that keep any number of clients from holding up the others
// or growing the service. The API's handlers see plain requests and give
// plain answers; an answer that waits for a board is made on the server's
// thread once the board says it is ready, so that nothing ever waits there.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class EventQueue;

struct HttpHead {
    std::string method;
    std::string path;      // without the query
    std::string remote;    // the client's address
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case, in order
    std::vector<std::pair<std::string, std::string>> query;

    // The value of a header or a query parameter ("" when absent).
    std::string Header(const std::string& lowerName) const;
    bool HasQuery(const std::string& name) const;
    std::string Query(const std::string& name) const;
};

struct HttpRequest : HttpHead {
    std::string body;
};

struct HttpAnswer {
    int status = 200;
    std::string type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// What a handler gives back: an answer now, an answer made later by
// `later` once `ready` says the wait is over (both asked on the server's
// thread, so neither may wait; whatever ends the wait calls
// HttpServer::Wake), or a stream of events after the answer's head:
// `follow` is given the call that wakes the stream when its queue has more,
// and returns the queue (nullptr when there are too many).
struct HttpReply {
    HttpAnswer answer;
    std::function<bool()> ready;
    std::function<HttpAnswer()> later;
    std::function<std::shared_ptr<EventQueue>(std::function<void()>)> follow;
    std::function<void()> streamEnded;
};

// The limits, each answered as the README's table says.
struct HttpLimits {
    std::size_t requestLine = 2048;       // 414
    std::size_t headerLine = 4096;        // 431
    std::size_t headerLines = 64;         // 431
    std::size_t head = 8192;              // 431
    std::size_t body = 4096;              // 413
    std::size_t connections = 1024;       // then the longest waiting without a whole head is closed
    std::size_t waiting = 256;            // connections without a whole head, likewise
    std::size_t perAddress = 64;          // beyond loopback: connections from one address
    std::chrono::milliseconds headDeadline{5000};  // from the connection or the last answer
    std::chrono::seconds streamNudge{5};  // a comment on an event stream with nothing to say
};

class HttpServer {
public:
    struct Handlers {
        // From the head alone: a refusal, or nothing to let it go on.
        std::function<bool(const HttpHead&, HttpAnswer*)> refuse;
        std::function<HttpReply(const HttpRequest&)> handle;
    };

    HttpServer(HttpLimits limits, Handlers handlers);
    ~HttpServer();

    // Binds and listens (port 0: any free port) for this program alone:
    // a second service on the same address is refused, not let share it.
    // Returns "" or the problem, and the port bound.
    std::string Listen(const std::string& address, int port, int* bound);
    // Serves on a thread of its own until Stop.
    std::string Start();
    void Stop();
    // From any thread, also before Start and after Stop: the answers being
    // waited for are looked at again.
    void Wake();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
