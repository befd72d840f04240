#include "service/http_api.h"

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>

#include "board/changes.h"
#include "board/output_bits.h"
#include "board/values.h"

using nlohmann::json;

extern const char kPage[];  // service/page/index.html, carried inside the program

namespace {

// One request on its way through the table: what the path named.
struct Call {
    const HttpRequest& request;
    std::vector<std::unique_ptr<Board>>& boards;
    Events& events;
    Board* board = nullptr;
    int output = 0;
    std::string who;
};

HttpAnswer Fail(int status, const std::string& error) {
    HttpAnswer answer;
    answer.status = status;
    answer.body = json{{"error", error}}.dump() + "\n";
    return answer;
}

HttpAnswer Json(const json& body) {
    HttpAnswer answer;
    answer.body = body.dump() + "\n";
    return answer;
}

HttpAnswer Text(const std::string& text) {
    HttpAnswer answer;
    answer.type = "text/plain";
    answer.body = text + "\n";
    return answer;
}

HttpReply Now(HttpAnswer answer) {
    HttpReply reply;
    reply.answer = std::move(answer);
    return reply;
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

// off_in_ms: the milliseconds until the output goes off by itself (the end
// of a pulse or an auto-off), null when it will not.
json OutputJson(const Board& board, int output, const BoardView& view) {
    const OutputSettings& settings = board.Settings().output[static_cast<std::size_t>(output - 1)];
    const std::size_t index = static_cast<std::size_t>(output - 1);
    const std::int64_t offIn = index < view.offInMs.size() ? view.offInMs[index] : -1;
    return {{"output", output}, {"name", settings.name.empty() ? json(nullptr) : json(settings.name)},
            {"state", StateWord(view.value, board, output)},
            {"pulse_ms", settings.pulseMs > 0 ? json(settings.pulseMs) : json(nullptr)},
            {"off_in_ms", offIn >= 0 ? json(offIn) : json(nullptr)}};
}

// A change the board's rules refuse (409), a board that cannot be
// switched (503, with the reason); reads of its outputs too, so that a
// client polling them sees it unavailable.
bool Unavailable(const Board& board, const Answer& answer, HttpAnswer* made) {
    switch (answer.status) {
        case Answer::Done: return false;
        case Answer::Refused: *made = Fail(409, answer.reason); break;
        case Answer::Stopping: *made = Fail(503, "the service is stopping"); break;
        case Answer::Unavailable:
            *made = Fail(503, "board " + board.Settings().name + " is unavailable: " +
                                  (answer.reason.empty() ? "its adapter is gone" : answer.reason));
            break;
    }
    return true;
}

bool Readable(const Call& call, HttpAnswer* answer) {
    const BoardView view = call.board->Look();
    return !Unavailable(*call.board, {view.available ? Answer::Done : Answer::Unavailable, 0, view.reason}, answer);
}

std::string Trimmed(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// The board's answer, made once the transmission that carries the change
// has ended (the board wakes the server then).
template <typename Make>
HttpReply Later(const Call& call, std::future<Answer> future, Make make) {
    HttpReply reply;
    auto shared = std::make_shared<std::future<Answer>>(std::move(future));
    const Board* board = call.board;
    reply.ready = [shared] { return shared->wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    reply.later = [shared, board, make] {
        const Answer answer = shared->get();
        HttpAnswer made;
        if (!Unavailable(*board, answer, &made)) made = make(answer);
        return made;
    };
    return reply;
}

// ---------------------------------------------------------------- handlers

HttpReply ListBoards(Call& call) {
    json list = json::array();
    for (const auto& board : call.boards) list.push_back(BoardJson(*board));
    return Now(Json(list));
}

HttpReply ShowBoard(Call& call) {
    return Now(Json(BoardJson(*call.board)));
}

HttpReply ListOutputs(Call& call) {
    HttpAnswer answer;
    if (!Readable(call, &answer)) return Now(answer);
    const BoardView view = call.board->Look();
    json list = json::array();
    for (int output = 1; output <= call.board->Settings().outputs; ++output)
        list.push_back(OutputJson(*call.board, output, view));
    return Now(Json(list));
}

HttpReply GetOutput(Call& call) {
    HttpAnswer answer;
    if (Readable(call, &answer)) answer = Text(StateWord(call.board->Look().value, *call.board, call.output));
    return Now(answer);
}

// A word of the board's (ON, OFF, TOGGLE, true, 1, ...) as text, or as
// {"state": "ON"} or {"state": true}.
HttpReply SetOutput(Call& call) {
    std::string word = Trimmed(call.request.body);
    if (!word.empty() && word[0] == '{') {
        const json body = json::parse(word, nullptr, false);
        const json state = body.is_object() && body.contains("state") ? body["state"] : json();
        word = state.is_string() ? state.get<std::string>() : state.is_boolean() ? (state.get<bool>() ? "ON" : "OFF") : "";
    }
    Switch action = Switch::On;
    if (!ParseSwitchWord(word, &action))
        return Now(Fail(400, "bad state " + Quoted(Trimmed(call.request.body)) + ": expected " + kSwitchWords +
                                 ", or JSON {\"state\": \"ON\"}"));
    const Board* board = call.board;
    const int output = call.output;
    return Later(call, call.board->SwitchOutput(call.output, action, call.who),
                 [board, output](const Answer& answer) { return Text(StateWord(answer.value, *board, output)); });
}

// Several outputs in one transmission, all or nothing: the sender's items
// ("3=on 5=off 8=toggle") or JSON ({"3": "ON", "5": false}).
HttpReply SetOutputs(Call& call) {
    const int outputs = call.board->Settings().outputs;
    std::string items = Trimmed(call.request.body);
    if (!items.empty() && items[0] == '{') {
        const json body = json::parse(items, nullptr, false);
        if (!body.is_object() || body.empty())
            return Now(Fail(400, "bad outputs: expected JSON such as {\"3\": \"ON\", \"5\": false}"));
        items.clear();
        for (const auto& [output, state] : body.items()) {
            const std::string word = state.is_string() ? state.get<std::string>()
                                     : state.is_boolean() ? (state.get<bool>() ? "ON" : "OFF") : "";
            if (word.empty() || word.find_first_of(" \t=") != std::string::npos ||
                output.find_first_of(" \t=") != std::string::npos)
                return Now(Fail(400, "bad state for output " + Quoted(output) + ": expected " + kSwitchWords));
            items += output + "=" + word + " ";
        }
    }
    std::vector<Change> changes;
    const std::string problem = ParseOutputItems(items, outputs, &changes);
    if (!problem.empty()) return Now(Fail(400, problem));
    return Later(call, call.board->Apply(changes, call.who),
                 [outputs](const Answer& answer) { return Text(FormatValue(answer.value, outputs)); });
}

HttpReply PulseOutput(Call& call) {
    std::int64_t milliseconds = call.board->Settings().output[static_cast<std::size_t>(call.output - 1)].pulseMs;
    if (call.request.HasQuery("ms") &&
        !(ParseWholeNumber(call.request.Query("ms"), 3600000, &milliseconds) && milliseconds > 0))
        return Now(Fail(400, "bad pulse length " + Quoted(call.request.Query("ms")) +
                                 ": expected ?ms= whole milliseconds, 1 to 3600000"));
    if (milliseconds == 0)
        return Now(Fail(400, "no pulse length: give ?ms=, or pulse_ms in the board's configuration"));
    const Board* board = call.board;
    const int output = call.output;
    return Later(call, call.board->PulseOutput(call.output, milliseconds, call.who),
                 [board, output](const Answer& answer) { return Text(StateWord(answer.value, *board, output)); });
}

HttpReply GetValue(Call& call) {
    HttpAnswer answer;
    if (Readable(call, &answer)) answer = Text(FormatValue(call.board->Look().value, call.board->Settings().outputs));
    return Now(answer);
}

HttpReply PutValue(Call& call) {
    const int outputs = call.board->Settings().outputs;
    const std::string text = Trimmed(call.request.body);
    std::uint64_t value = 0;
    if (!ParseValue(text, outputs, &value))
        return Now(Fail(400, BadValue(text, outputs)));
    return Later(call, call.board->SetValue(value, call.who),
                 [outputs](const Answer& answer) { return Text(FormatValue(answer.value, outputs)); });
}

// Server-sent events: first every board as it is, then each change.
HttpReply FollowEvents(Call& call) {
    HttpReply reply;
    reply.answer.type = "text/event-stream";
    reply.answer.headers.push_back({"Cache-Control", "no-cache"});
    std::vector<std::unique_ptr<Board>>& boards = call.boards;
    Events& events = call.events;
    auto followed = std::make_shared<std::shared_ptr<EventQueue>>();
    reply.follow = [&boards, &events, followed](std::function<void()> wake) {
        *followed = events.Follow(
            [&boards] {
                std::deque<std::string> first;
                for (const auto& board : boards) {
                    const BoardView view = board->Look();
                    first.push_back(HttpApi::EventText({board->Settings().name, board->Settings().outputs,
                                                        view.available, view.value,
                                                        AllOutputs(board->Settings().outputs), true,
                                                        view.reason, view.offInMs}));
                }
                return first;
            },
            std::move(wake));
        return *followed;
    };
    reply.streamEnded = [&events, followed] { events.Unfollow(*followed); };
    return reply;
}

// The page: one file, and nothing it may fetch from anywhere but here; no
// other site may frame it, and its address (which may carry the token
// handed out) is sent to nobody.
HttpReply Page(Call&) {
    HttpAnswer answer;
    answer.type = "text/html; charset=utf-8";
    answer.body = kPage;
    answer.headers = {{"Content-Security-Policy",
                       "default-src 'self'; script-src 'self' 'unsafe-inline'; "
                       "style-src 'self' 'unsafe-inline'; img-src 'self' data:; frame-ancestors 'none'"},
                      {"X-Frame-Options", "DENY"},
                      {"Referrer-Policy", "no-referrer"},
                      {"X-Content-Type-Options", "nosniff"},
                      {"Cache-Control", "no-cache"}};
    return Now(answer);
}

HttpReply Health(Call& call) {
    json unavailable = json::array();
    for (const auto& board : call.boards)
        if (!board->Look().available) unavailable.push_back(board->Settings().name);
    HttpAnswer answer = Json({{"unavailable", unavailable}});
    answer.status = unavailable.empty() ? 200 : 503;
    return Now(answer);
}

// ------------------------------------------------------------------ routes

// B names a board, N an output of it.
struct Route {
    const char* method;
    const char* path;
    HttpReply (*handler)(Call&);
};

const Route kRoutes[] = {
    {"GET", "/api/boards", ListBoards},
    {"GET", "/api/boards/B", ShowBoard},
    {"GET", "/api/boards/B/outputs", ListOutputs},
    {"POST", "/api/boards/B/outputs", SetOutputs},
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

// Fills in the board and the output the path names; the refusal when there
// is no such board or output.
bool Resolve(Call& call, const std::vector<std::string>& pattern, const std::vector<std::string>& segments,
             HttpAnswer* refusal) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == "B") {
            for (const auto& board : call.boards)
                if (board->Settings().name == segments[i]) call.board = board.get();
            if (!call.board) {
                *refusal = Fail(404, "no board " + Quoted(segments[i]));
                return false;
            }
        } else if (pattern[i] == "N") {
            std::int64_t output = 0;
            const int outputs = call.board->Settings().outputs;
            if (!ParseWholeNumber(segments[i], outputs, &output) || output < 1) {
                *refusal = Fail(400, "bad output " + Quoted(segments[i]) + ": board " + call.board->Settings().name +
                                         " has outputs 1 to " + std::to_string(outputs));
                return false;
            }
            call.output = static_cast<int>(output);
        }
    }
    return true;
}

// /api/outputs/... and /api/value name the only board, where there is one.
bool NameTheOnlyBoard(const Call& call, std::vector<std::string>* segments, HttpAnswer* refusal) {
    if (segments->size() < 2 || (*segments)[0] != "api" || ((*segments)[1] != "outputs" && (*segments)[1] != "value"))
        return true;
    if (call.boards.size() != 1) {
        *refusal = Fail(404, "there are several boards: name one, as /api/boards/BOARD/...");
        return false;
    }
    segments->insert(segments->begin() + 1, {"boards", call.boards[0]->Settings().name});
    return true;
}

}  // namespace

std::string HttpApi::EventText(const BoardEvent& event) {
    json outputs = json::array();
    for (int output = 1; output <= event.outputs; ++output)
        if (event.changed & BitOfOutput(output, event.outputs))
            outputs.push_back({{"output", output}, {"state", event.value & BitOfOutput(output, event.outputs) ? "ON" : "OFF"}});
    json offIn = json::object();
    for (std::size_t index = 0; index < event.offInMs.size(); ++index)
        if (event.offInMs[index] >= 0) offIn[std::to_string(index + 1)] = event.offInMs[index];
    json data = {{"board", event.board}, {"available", event.available},
                 {"value", FormatValue(event.value, event.outputs)}, {"outputs", outputs}};
    if (!offIn.empty()) data["off_in_ms"] = offIn;
    if (!event.available && !event.reason.empty()) data["reason"] = event.reason;
    return "event: board\ndata: " + data.dump() + "\n\n";
}

HttpApi::HttpApi(std::vector<std::unique_ptr<Board>>& boards, Events& events, AccessPolicy policy)
    : boards_(boards), events_(events), policy_(std::move(policy)),
      server_(HttpLimits{}, {[this](const HttpHead& head, HttpAnswer* refusal) {
                                 const Refusal refused = Admit(head, policy_);
                                 if (refused.status == 0) return false;
                                 *refusal = Fail(refused.status, refused.error);
                                 for (const auto& header : refused.headers) refusal->headers.push_back(header);
                                 return true;
                             },
                             [this](const HttpRequest& request) { return Handle(request); }}) {
    for (auto& board : boards_) board->WhenAnswered([this] { server_.Wake(); });
}

HttpApi::~HttpApi() {
    for (auto& board : boards_) board->WhenAnswered(nullptr);
}

HttpReply HttpApi::Handle(const HttpRequest& request) {
    Call call{request, boards_, events_, nullptr, 0, "http " + request.remote};
    std::vector<std::string> segments = Segments(request.path);
    HttpAnswer refusal;
    if (!NameTheOnlyBoard(call, &segments, &refusal)) return Now(refusal);
    const std::string method = request.method == "HEAD" ? "GET" : request.method;
    std::string allowed;
    for (const Route& route : kRoutes) {
        if (!Matches(Segments(route.path), segments)) continue;
        if (method != route.method) {
            allowed += (allowed.empty() ? "" : ", ") + std::string(route.method);
            continue;
        }
        if (!Resolve(call, Segments(route.path), segments, &refusal)) return Now(refusal);
        return route.handler(call);
    }
    if (allowed.empty()) return Now(Fail(404, "no such path: " + Quoted(request.path)));
    HttpAnswer answer = Fail(405, request.method.substr(0, 16) + " is not allowed here; " + allowed + " is");
    answer.headers.push_back({"Allow", allowed});
    return Now(answer);
}

std::string HttpApi::Bind(const std::string& address, int port, int* bound) {
    return server_.Listen(address, port, bound);
}

std::string HttpApi::Start() {
    return server_.Start();
}

void HttpApi::Stop() {
    server_.Stop();
}
