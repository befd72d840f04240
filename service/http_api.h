// The HTTP front door: a route table that reads as the API table in the
// README. Each handler parses, hands the change to the board, and answers;
// who may come in is decided before, from the request's head alone.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/access.h"
#include "service/board.h"
#include "service/events.h"
#include "service/http_server.h"

class HttpApi {
public:
    HttpApi(std::vector<std::unique_ptr<Board>>& boards, Events& events, AccessPolicy policy);
    ~HttpApi();

    // Binds the address (port 0: any free port); returns "" or the problem,
    // and the port bound.
    std::string Bind(const std::string& address, int port, int* bound);
    // Serves on a thread of its own until Stop; returns "" or the problem.
    std::string Start();
    void Stop();

    // The text of an event on the stream, as the page and other clients read it.
    static std::string EventText(const BoardEvent& event);

private:
    HttpReply Handle(const HttpRequest& request);

    std::vector<std::unique_ptr<Board>>& boards_;
    Events& events_;
    const AccessPolicy policy_;
    HttpServer server_;
};
