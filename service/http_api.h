// The HTTP front door: a route table that reads as the API table in the
// README. Each handler parses, hands the change to the board, and answers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/board.h"
#include "service/events.h"

namespace httplib {
class Server;
}

struct HttpSettings {
    std::string token;          // "" when none is needed
    bool loopbackOnly = true;   // refuse a Host that is not a loopback name
};

class ConnectionGuard;

class HttpApi {
public:
    HttpApi(std::vector<std::unique_ptr<Board>>& boards, Events& events, HttpSettings settings);
    ~HttpApi();

    // Binds the address (port 0: any free port); returns "" or the problem,
    // and the port bound.
    std::string Bind(const std::string& address, int port, int* bound);
    // Serves until Stop.
    void Serve();
    void Stop();

    // The text of an event on the stream, as the page and other clients read it.
    static std::string EventText(const BoardEvent& event);

private:
    std::vector<std::unique_ptr<Board>>& boards_;
    Events& events_;
    const HttpSettings settings_;
    std::unique_ptr<httplib::Server> server_;
    std::unique_ptr<ConnectionGuard> guard_;  // made once the port is known
};
