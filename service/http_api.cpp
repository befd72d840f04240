#include "service/http_api.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "board/values.h"
#include "register/transmission.h"
#include "service/access.h"
#include "service/connection_guard.h"

using nlohmann::json;

extern const char kPage[];  // service/page/index.html, carried inside the program

namespace {

// The limits, as the README gives them.
constexpr std::size_t kLargestBody = 4096;
constexpr std::size_t kWorkers = 64;           // 20 clients, event streams and some to spare
constexpr std::size_t kMostEventStreams = 32;
constexpr auto kKeepAlive = std::chrono::seconds(15);
constexpr auto kWholeRequest = std::chrono::seconds(10);
constexpr std::size_t kMostConnections = 128;

// One request on its way through the table: what the path named.
struct Call {
    const httplib::Request& request;
    httplib::Response& response;
    std::vector<std::unique_ptr<Board>>& boards;
    Events& events;
    Board* board = nullptr;
    int output = 0;
    std::string who;
};

void Fail(httplib::Response& response, int status, const std::string& error) {
    response.status = status;
    response.set_content(json{{"error", error}}.dump() + "\n", "application/json");
}

void Text(httplib::Response& response, const std::string& text) {
    response.set_content(text + "\n", "text/plain");
}

const char* StateWord(std::uint64_t value, const Board& board, int output) {
    return value & BitOfOutput(output, board.Settings().outputs) ? "ON" : "OFF";
}

json BoardJson(const Board& board) {
    const BoardView view = board.Look();
    return {{"name", board.Settings().name}, {"port", board.Settings().port},
            {"outputs", board.Settings().outputs}, {"available", view.available},
            {"value", FormatValue(view.value, board.Settings().outputs)}};
}

json OutputJson(const Board& board, int output, std::uint64_t value) {
    const OutputSettings& settings = board.Settings().output[static_cast<std::size_t>(output - 1)];
    return {{"output", output}, {"name", settings.name.empty() ? json(nullptr) : json(settings.name)},
            {"state", StateWord(value, board, output)},
            {"pulse_ms", settings.pulseMs > 0 ? json(settings.pulseMs) : json(nullptr)}};
}

// A board that is gone is said so; reads of its outputs too, so that a
// client polling them sees it unavailable.
bool Unavailable(Call& call, Answer::Status status) {
    if (status == Answer::Done) return false;
    Fail(call.response, 503, status == Answer::Stopping ? "the service is stopping"
                                                        : "board " + call.board->Settings().name +
                                                              " is unavailable: its adapter is gone");
    return true;
}

bool Readable(Call& call) {
    return !Unavailable(call, call.board->Look().available ? Answer::Done : Answer::Unavailable);
}

std::string Trimmed(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// ---------------------------------------------------------------- handlers

void ListBoards(Call& call) {
    json list = json::array();
    for (const auto& board : call.boards) list.push_back(BoardJson(*board));
    call.response.set_content(list.dump() + "\n", "application/json");
}

void ShowBoard(Call& call) {
    call.response.set_content(BoardJson(*call.board).dump() + "\n", "application/json");
}

void ListOutputs(Call& call) {
    if (!Readable(call)) return;
    const std::uint64_t value = call.board->Look().value;
    json list = json::array();
    for (int output = 1; output <= call.board->Settings().outputs; ++output)
        list.push_back(OutputJson(*call.board, output, value));
    call.response.set_content(list.dump() + "\n", "application/json");
}

void GetOutput(Call& call) {
    if (Readable(call)) Text(call.response, StateWord(call.board->Look().value, *call.board, call.output));
}

// ON, OFF or TOGGLE, as text or as {"state": "ON"}.
void SetOutput(Call& call) {
    std::string word = Trimmed(call.request.body);
    if (!word.empty() && word[0] == '{') {
        const json body = json::parse(word, nullptr, false);
        word = body.is_object() && body.contains("state") && body["state"].is_string()
                   ? body["state"].get<std::string>() : "";
    }
    for (char& c : word) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    const Switch action = word == "ON" ? Switch::On : word == "OFF" ? Switch::Off : Switch::Toggle;
    if (word != "ON" && word != "OFF" && word != "TOGGLE")
        return Fail(call.response, 400, "bad state " + Quoted(Trimmed(call.request.body)) +
                                            ": expected ON, OFF or TOGGLE, or JSON {\"state\": \"ON\"}");
    const Answer answer = call.board->SwitchOutput(call.output, action, call.who).get();
    if (!Unavailable(call, answer.status)) Text(call.response, StateWord(answer.value, *call.board, call.output));
}

void PulseOutput(Call& call) {
    std::int64_t milliseconds = call.board->Settings().output[static_cast<std::size_t>(call.output - 1)].pulseMs;
    if (call.request.has_param("ms") &&
        !(ParseWholeNumber(call.request.get_param_value("ms"), 3600000, &milliseconds) && milliseconds > 0))
        return Fail(call.response, 400, "bad pulse length " + Quoted(call.request.get_param_value("ms")) +
                                            ": expected ?ms= whole milliseconds, 1 to 3600000");
    if (milliseconds == 0)
        return Fail(call.response, 400, "no pulse length: give ?ms=, or pulse_ms in the board's configuration");
    const Answer answer = call.board->PulseOutput(call.output, milliseconds, call.who).get();
    if (!Unavailable(call, answer.status)) Text(call.response, StateWord(answer.value, *call.board, call.output));
}

void GetValue(Call& call) {
    if (Readable(call)) Text(call.response, FormatValue(call.board->Look().value, call.board->Settings().outputs));
}

void PutValue(Call& call) {
    const int outputs = call.board->Settings().outputs;
    const std::string text = Trimmed(call.request.body);
    std::uint64_t value = 0;
    if (!ParseValue(text, outputs, &value))
        return Fail(call.response, 400, "bad value " + Quoted(text) + ": expected " + ValueForms(outputs));
    const Answer answer = call.board->SetValue(value, call.who).get();
    if (!Unavailable(call, answer.status)) Text(call.response, FormatValue(answer.value, outputs));
}

// Server-sent events: first every board as it is, then each change.
void FollowEvents(Call& call) {
    std::vector<std::string> first;
    for (const auto& board : call.boards) {
        const BoardView view = board->Look();
        first.push_back(HttpApi::EventText({board->Settings().name, board->Settings().outputs, view.available,
                                            view.value, AllOutputs(board->Settings().outputs), true,
                                            view.reason, view.offInMs}));
    }
    std::shared_ptr<EventQueue> queue = call.events.Follow(first);
    if (!queue) return Fail(call.response, 503, "too many event streams");
    Events& events = call.events;
    call.response.set_header("Cache-Control", "no-cache");
    call.response.set_chunked_content_provider(
        "text/event-stream",
        [queue](std::size_t, httplib::DataSink& sink) {
            std::string text;
            if (!queue->Next(&text, kKeepAlive)) return false;
            // A comment now and then finds out a reader that has gone.
            if (text.empty()) text = ": still here\n\n";
            return sink.is_writable() && sink.write(text.data(), text.size());
        },
        [queue, &events](bool) { events.Unfollow(queue); });
}

// The page: one file, and nothing it may fetch from anywhere but here.
void Page(Call& call) {
    call.response.set_header("Content-Security-Policy",
                             "default-src 'self'; script-src 'self' 'unsafe-inline'; "
                             "style-src 'self' 'unsafe-inline'; img-src 'self' data:");
    call.response.set_header("X-Content-Type-Options", "nosniff");
    call.response.set_header("Cache-Control", "no-cache");
    call.response.set_content(kPage, "text/html; charset=utf-8");
}

void Health(Call& call) {
    json unavailable = json::array();
    for (const auto& board : call.boards)
        if (!board->Look().available) unavailable.push_back(board->Settings().name);
    call.response.status = unavailable.empty() ? 200 : 503;
    call.response.set_content(json{{"unavailable", unavailable}}.dump() + "\n", "application/json");
}

// What the library's own refusals mean.
std::string WhatStatusMeans(int status) {
    switch (status) {
        case 400: return "bad request";
        case 413: return "the body is over " + std::to_string(kLargestBody) + " bytes";
        case 414: return "the path is too long";
        case 431: return "the headers are too large";
    }
    return "error " + std::to_string(status);
}

// ------------------------------------------------------------------ routes

// B names a board, N an output of it.
struct Route {
    const char* method;
    const char* path;
    void (*handler)(Call&);
};

const Route kRoutes[] = {
    {"GET", "/api/boards", ListBoards},
    {"GET", "/api/boards/B", ShowBoard},
    {"GET", "/api/boards/B/outputs", ListOutputs},
    {"GET", "/api/boards/B/outputs/N", GetOutput},
    {"POST", "/api/boards/B/outputs/N", SetOutput},
    {"POST", "/api/boards/B/outputs/N/pulse", PulseOutput},
    {"GET", "/api/boards/B/value", GetValue},
    {"PUT", "/api/boards/B/value", PutValue},
    {"GET", "/api/events", FollowEvents},
    {"GET", "/healthz", Health},
    {"GET", "/", Page},
};

std::vector<std::string> Segments(const std::string& path) {
    std::vector<std::string> segments;
    std::size_t start = 1;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        segments.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return segments;
}

bool Matches(const std::vector<std::string>& pattern, const std::vector<std::string>& segments) {
    if (pattern.size() != segments.size()) return false;
    for (std::size_t i = 0; i < pattern.size(); ++i)
        if (pattern[i] != "B" && pattern[i] != "N" && pattern[i] != segments[i]) return false;
    return true;
}

// Fills in the board and the output the path names; false with the
// answer given when there is no such board or output.
bool Resolve(Call& call, const std::vector<std::string>& pattern, const std::vector<std::string>& segments) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == "B") {
            for (const auto& board : call.boards)
                if (board->Settings().name == segments[i]) call.board = board.get();
            if (!call.board) {
                Fail(call.response, 404, "no board " + Quoted(segments[i]));
                return false;
            }
        } else if (pattern[i] == "N") {
            std::int64_t output = 0;
            const int outputs = call.board->Settings().outputs;
            if (!ParseWholeNumber(segments[i], outputs, &output) || output < 1) {
                Fail(call.response, 400, "bad output " + Quoted(segments[i]) + ": board " +
                                             call.board->Settings().name + " has outputs 1 to " +
                                             std::to_string(outputs));
                return false;
            }
            call.output = static_cast<int>(output);
        }
    }
    return true;
}

// /api/outputs/... and /api/value name the only board, where there is one.
bool NameTheOnlyBoard(Call& call, std::vector<std::string>* segments) {
    if (segments->size() < 2 || (*segments)[0] != "api" || ((*segments)[1] != "outputs" && (*segments)[1] != "value"))
        return true;
    if (call.boards.size() != 1) {
        Fail(call.response, 404, "there are several boards: name one, as /api/boards/BOARD/...");
        return false;
    }
    segments->insert(segments->begin() + 1, {"boards", call.boards[0]->Settings().name});
    return true;
}

void Dispatch(Call& call, const HttpSettings& settings) {
    const httplib::Request& request = call.request;
    if (settings.loopbackOnly && request.has_header("Host") && !IsLoopbackHost(request.get_header_value("Host")))
        return Fail(call.response, 421, "this service answers only to its loopback address (localhost)");
    std::vector<std::string> segments = Segments(request.path);
    const bool api = !segments.empty() && segments[0] == "api";
    if (api && !settings.token.empty()) {
        const std::string given = request.get_header_value("Authorization");
        const std::string bearer = "Bearer ";
        if (given.compare(0, bearer.size(), bearer) != 0 || !SameToken(given.substr(bearer.size()), settings.token)) {
            call.response.set_header("WWW-Authenticate", "Bearer realm=\"octolatch\"");
            return Fail(call.response, 401, "a token is needed: Authorization: Bearer TOKEN");
        }
    }
    if (!NameTheOnlyBoard(call, &segments)) return;
    const std::string method = request.method == "HEAD" ? "GET" : request.method;
    std::string allowed;
    for (const Route& route : kRoutes) {
        if (!Matches(Segments(route.path), segments)) continue;
        if (method != route.method) {
            allowed += (allowed.empty() ? "" : ", ") + std::string(route.method);
            continue;
        }
        if (Resolve(call, Segments(route.path), segments)) route.handler(call);
        return;
    }
    if (allowed.empty()) return Fail(call.response, 404, "no such path: " + Quoted(request.path));
    call.response.set_header("Allow", allowed);
    Fail(call.response, 405, request.method.substr(0, 16) + " is not allowed here; " + allowed + " is");
}

}  // namespace

std::string HttpApi::EventText(const BoardEvent& event) {
    json outputs = json::array();
    for (int output = 1; output <= event.outputs; ++output)
        if (event.changed & BitOfOutput(output, event.outputs))
            outputs.push_back({{"output", output}, {"state", event.value & BitOfOutput(output, event.outputs) ? "ON" : "OFF"}});
    const json data = {{"board", event.board}, {"available", event.available},
                       {"value", FormatValue(event.value, event.outputs)}, {"outputs", outputs}};
    return "event: board\ndata: " + data.dump() + "\n\n";
}

HttpApi::HttpApi(std::vector<std::unique_ptr<Board>>& boards, Events& events, HttpSettings settings)
    : boards_(boards), events_(events), settings_(std::move(settings)), server_(new httplib::Server) {
    httplib::Server& server = *server_;
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server.set_payload_max_length(kLargestBody);
    // An answer's head and body are written apart; without this the body
    // would wait for the client's delayed acknowledgement (about 40 ms).
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(100);
    server.set_keep_alive_timeout(5);
    server.set_read_timeout(5);
    server.set_write_timeout(5);
    const httplib::Server::Handler handle = [this](const httplib::Request& request, httplib::Response& response) {
        Call call{request, response, boards_, events_, nullptr, 0, "http " + request.remote_addr};
        Dispatch(call, settings_);
    };
    server.Get(".*", handle);
    server.Post(".*", handle);
    server.Put(".*", handle);
    server.Patch(".*", handle);
    server.Delete(".*", handle);
    server.Options(".*", handle);
    // What the library refuses itself (413, 400, ...) is said in JSON too.
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) Fail(response, response.status, WhatStatusMeans(response.status));
    });
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        if (guard_) guard_->RequestArrived(request.remote_addr, request.remote_port);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_logger([this](const httplib::Request& request, const httplib::Response&) {
        if (guard_) guard_->AnswerSent(request.remote_addr, request.remote_port);
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        Fail(response, 500, "internal error");
    });
}

HttpApi::~HttpApi() = default;

std::string HttpApi::Bind(const std::string& address, int port, int* bound) {
    *bound = port == 0 ? server_->bind_to_any_port(address) : (server_->bind_to_port(address, port) ? port : -1);
    if (*bound < 0) return "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    guard_ = std::make_unique<ConnectionGuard>(*bound, kWholeRequest, kMostConnections);
    return "";
}

void HttpApi::Serve() {
    server_->listen_after_bind();
}

void HttpApi::Stop() {
    server_->stop();
}
