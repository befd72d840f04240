#include "service/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <set>
#include <thread>

#include "service/events.h"
#include "service/log.h"

namespace {

using Clock = std::chrono::steady_clock;

// One client's connection, from its accepting to its closing.
struct Connection {
    int fd = -1;
    Clock::time_point since;       // of the wait for a whole request head
    bool waiting = true;           // no whole head since `since`
    bool closing = false;          // shut down here, not yet closed by the library
    std::list<Connection*>::iterator place;  // in Impl::waiting_, while waiting
};

// One request, from its head to its answer.
struct Exchange {
    HttpRequest request;
    bool answered = false;         // an answer is queued; what still comes is ignored
    HttpReply reply;               // one made later: when it is ready, and how
    bool later = false;            // its answer is being waited for
    bool made = false;             // the later answer is made, to be sent
    HttpAnswer answer;
};

// An event stream's side of a response.
struct Stream {
    HttpServer::Impl* server;
    MHD_Connection* connection;
    std::shared_ptr<EventQueue> queue;
    std::function<void()> ended;
    std::string unsent;
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

HttpAnswer Refusal(int status, const std::string& error) {
    HttpAnswer answer;
    answer.status = status;
    std::string quoted;
    for (const char c : error) quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    answer.body = "{\"error\":\"" + quoted + "\"}\n";
    answer.headers.push_back({"Connection", "close"});
    return answer;
}

std::string AddressOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr) return "";
    char text[INET6_ADDRSTRLEN] = "";
    if (info->client_addr->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr, text, sizeof text);
    else if (info->client_addr->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(info->client_addr)->sin6_addr, text, sizeof text);
    return text;
}

}  // namespace

std::string HttpHead::Header(const std::string& lowerName) const {
    for (const auto& [name, value] : headers)
        if (name == lowerName) return value;
    return "";
}

bool HttpHead::HasQuery(const std::string& name) const {
    for (const auto& parameter : query)
        if (parameter.first == name) return true;
    return false;
}

std::string HttpHead::Query(const std::string& name) const {
    for (const auto& [key, value] : query)
        if (key == name) return value;
    return "";
}

struct HttpServer::Impl {
    Impl(HttpLimits limits, Handlers handlers) : limits(limits), handlers(std::move(handlers)) {}

    const HttpLimits limits;
    const Handlers handlers;
    int listening = -1;
    bool loopback = true;
    MHD_Daemon* daemon = nullptr;
    int stop = -1;                          // an eventfd that ends the loop
    int wake = -1;                          // an eventfd that wakes it: the library does not when polled from outside
    std::thread loop;
    bool stopping = false;                  // the server's thread alone, like what follows
    std::size_t pending = 0;                // exchanges whose answers are being waited for
    std::vector<std::pair<Exchange*, MHD_Connection*>> awaited;  // of those, the ones not yet made

    // The server's thread alone.
    std::list<Connection*> waiting;         // longest waiting first
    std::size_t open = 0;                   // connections not being closed
    std::set<Stream*> streams;
    Clock::time_point nextNudge;
    std::size_t closedLate = 0, closedCrowded = 0;
    Clock::time_point nextReport;

    // ---------------------------------------------------------- connections

    void Started(Connection* connection) {
        const int one = 1;
        setsockopt(connection->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ++open;
        Wait(connection);
        // Room for the newcomer: the connections that have waited longest
        // for a whole request head give way first.
        while (!waiting.empty() && (waiting.size() > limits.waiting || open > limits.connections)) {
            ++closedCrowded;
            Close(waiting.front());
        }
    }

    void Wait(Connection* connection) {
        connection->waiting = true;
        connection->since = Clock::now();
        connection->place = waiting.insert(waiting.end(), connection);
    }

    void HeadArrived(Connection* connection) {
        if (!connection->waiting) return;
        connection->waiting = false;
        waiting.erase(connection->place);
    }

    // Shut down here, on the server's thread, while the library still
    // holds the descriptor open: it cannot be another connection's yet.
    void Close(Connection* connection) {
        HeadArrived(connection);
        connection->closing = true;
        --open;
        shutdown(connection->fd, SHUT_RDWR);
    }

    void Closed(Connection* connection) {
        if (!connection->closing) {
            HeadArrived(connection);
            --open;
        }
        delete connection;
    }

    void Sweep(Clock::time_point now) {
        while (!waiting.empty() && now - waiting.front()->since >= limits.headDeadline) {
            ++closedLate;
            Close(waiting.front());
        }
        if (now >= nextNudge) {
            for (Stream* stream : streams) stream->queue->Nudge();
            nextNudge = now + limits.streamNudge;
        }
        if (now >= nextReport && closedLate + closedCrowded > 0) {
            if (closedLate)
                Log("http: closed " + std::to_string(closedLate) + " connection(s): no whole request within " +
                    std::to_string(limits.headDeadline.count()) + " ms");
            if (closedCrowded)
                Log("http: closed " + std::to_string(closedCrowded) +
                    " connection(s) waiting longest without a request, to make room");
            closedLate = closedCrowded = 0;
            nextReport = now + std::chrono::seconds(1);
        }
    }

    // ---------------------------------------------------------- answers

    static MHD_Result Send(MHD_Connection* connection, const HttpAnswer& answer) {
        MHD_Response* response = MHD_create_response_from_buffer(answer.body.size(),
                                                                  const_cast<char*>(answer.body.data()),
                                                                  MHD_RESPMEM_MUST_COPY);
        if (!response) return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type.c_str());
        for (const auto& [name, value] : answer.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
        const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
        MHD_destroy_response(response);
        return queued;
    }

    MHD_Result Answer(MHD_Connection* connection, Exchange* exchange, const HttpAnswer& answer) {
        exchange->answered = true;
        return Send(connection, answer);
    }

    MHD_Result Later(MHD_Connection* connection, Exchange* exchange, HttpReply& reply) {
        if (reply.ready()) return Answer(connection, exchange, reply.later());
        ++pending;
        exchange->later = true;
        exchange->reply = std::move(reply);
        MHD_suspend_connection(connection);
        awaited.push_back({exchange, connection});
        return MHD_YES;
    }

    // The answers whose wait is over are made and their connections go on.
    void MakeReady(bool giveUp) {
        for (auto place = awaited.begin(); place != awaited.end();) {
            Exchange* exchange = place->first;
            if (!giveUp && !exchange->reply.ready()) {
                ++place;
                continue;
            }
            exchange->answer = giveUp ? Refusal(503, "the service is stopping") : exchange->reply.later();
            exchange->made = true;
            MHD_resume_connection(place->second);
            place = awaited.erase(place);
        }
    }

    // From any thread: the connection goes on at the loop's next turn.
    void Resume(MHD_Connection* connection) {
        MHD_resume_connection(connection);
        Wake();
    }

    void Wake() {
        const std::uint64_t one = 1;
        if (write(wake, &one, sizeof one) < 0 && errno != EAGAIN) Log("http: cannot wake the server");
    }

    MHD_Result Follow(MHD_Connection* connection, Exchange* exchange, HttpReply& reply) {
        auto* stream = new Stream{this, connection, nullptr, std::move(reply.streamEnded), ""};
        stream->queue = reply.follow([this, connection] { Resume(connection); });
        if (!stream->queue) {
            delete stream;
            return Answer(connection, exchange, Refusal(503, "too many event streams"));
        }
        MHD_Response* response =
            MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, ReadStream, stream, EndStream);
        if (!response) {
            EndStream(stream);
            return MHD_NO;
        }
        streams.insert(stream);
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.answer.type.c_str());
        for (const auto& [name, value] : reply.answer.headers)
            MHD_add_response_header(response, name.c_str(), value.c_str());
        exchange->answered = true;
        const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
        MHD_destroy_response(response);
        return queued;
    }

    static ssize_t ReadStream(void* cls, uint64_t, char* buffer, size_t most) {
        auto* stream = static_cast<Stream*>(cls);
        if (stream->unsent.empty()) {
            const EventQueue::Taken taken = stream->queue->Take(
                &stream->unsent, [stream] { MHD_suspend_connection(stream->connection); });
            if (taken == EventQueue::Closed) return MHD_CONTENT_READER_END_OF_STREAM;
            if (taken == EventQueue::Nothing) return 0;
        }
        const std::size_t size = std::min(most, stream->unsent.size());
        std::memcpy(buffer, stream->unsent.data(), size);
        stream->unsent.erase(0, size);
        return static_cast<ssize_t>(size);
    }

    static void EndStream(void* cls) {
        auto* stream = static_cast<Stream*>(cls);
        stream->server->streams.erase(stream);
        if (stream->ended) stream->ended();
        delete stream;
    }

    // ---------------------------------------------------------- requests

    bool HeadTooLarge(MHD_Connection* connection, Exchange* exchange, const char* version) {
        const HttpRequest& request = exchange->request;
        std::size_t line = request.method.size() + request.path.size() + std::strlen(version) + 2;
        for (const auto& [name, value] : request.query) line += name.size() + value.size() + 2;
        if (line > limits.requestLine) {
            Answer(connection, exchange,
                   Refusal(414, "the request line is over " + std::to_string(limits.requestLine) + " bytes"));
            return true;
        }
        std::size_t head = line;
        for (const auto& [name, value] : request.headers) {
            const std::size_t size = name.size() + value.size() + 4;
            head += size;
            if (size > limits.headerLine) {
                Answer(connection, exchange,
                       Refusal(431, "a header line is over " + std::to_string(limits.headerLine) + " bytes"));
                return true;
            }
        }
        std::string problem;
        if (request.headers.size() > limits.headerLines)
            problem = "more than " + std::to_string(limits.headerLines) + " header lines";
        else if (head > limits.head)
            problem = "the request head is over " + std::to_string(limits.head) + " bytes";
        if (!problem.empty()) Answer(connection, exchange, Refusal(431, problem));
        return !problem.empty();
    }

    static MHD_Result TakeValue(void* cls, MHD_ValueKind, const char* key, const char* value) {
        static_cast<std::vector<std::pair<std::string, std::string>>*>(cls)->push_back(
            {Lower(key ? key : ""), value ? value : ""});
        return MHD_YES;
    }

    static MHD_Result TakeQuery(void* cls, MHD_ValueKind, const char* key, const char* value) {
        static_cast<std::vector<std::pair<std::string, std::string>>*>(cls)->push_back(
            {key ? key : "", value ? value : ""});
        return MHD_YES;
    }

    MHD_Result Head(MHD_Connection* connection, Exchange* exchange, const char* url, const char* method,
                    const char* version) {
        if (auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT))
            if (info->socket_context) HeadArrived(static_cast<Connection*>(info->socket_context));
        HttpRequest& request = exchange->request;
        request.method = method;
        request.path = url;
        request.remote = AddressOf(connection);
        MHD_get_connection_values(connection, MHD_HEADER_KIND, TakeValue, &request.headers);
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, TakeQuery, &request.query);
        if (HeadTooLarge(connection, exchange, version)) return MHD_YES;
        HttpAnswer refusal;
        if (handlers.refuse(request, &refusal)) return Answer(connection, exchange, refusal);
        // A body announced too large is refused before it is read.
        const std::string length = request.Header("content-length");
        if (!length.empty() && (length.size() > 9 || std::strtoull(length.c_str(), nullptr, 10) > limits.body))
            return Answer(connection, exchange, TooLarge());
        return MHD_YES;
    }

    HttpAnswer TooLarge() const {
        return Refusal(413, "the body is over " + std::to_string(limits.body) + " bytes");
    }

    MHD_Result Access(MHD_Connection* connection, const char* url, const char* method, const char* version,
                      const char* upload, size_t* uploadSize, void** context) {
        if (!*context) {
            auto* exchange = new Exchange;
            *context = exchange;
            return Head(connection, exchange, url, method, version);
        }
        auto* exchange = static_cast<Exchange*>(*context);
        if (exchange->answered) {
            *uploadSize = 0;
            return MHD_YES;
        }
        if (*uploadSize) {
            if (exchange->request.body.size() + *uploadSize > limits.body) {
                *uploadSize = 0;
                return Answer(connection, exchange, TooLarge());
            }
            exchange->request.body.append(upload, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        if (exchange->made) return Answer(connection, exchange, exchange->answer);
        // Nothing new is handed over once the server is stopping.
        if (stopping) return Answer(connection, exchange, Refusal(503, "the service is stopping"));
        HttpReply reply = handlers.handle(exchange->request);
        if (reply.later) return Later(connection, exchange, reply);
        if (reply.follow) return Follow(connection, exchange, reply);
        return Answer(connection, exchange, reply.answer);
    }

    static MHD_Result OnAccess(void* cls, MHD_Connection* connection, const char* url, const char* method,
                               const char* version, const char* upload, size_t* uploadSize, void** context) {
        return static_cast<Impl*>(cls)->Access(connection, url, method, version, upload, uploadSize, context);
    }

    static void OnCompleted(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
        auto* server = static_cast<Impl*>(cls);
        auto* exchange = static_cast<Exchange*>(*context);
        if (exchange && exchange->later) --server->pending;
        delete exchange;
        *context = nullptr;
        if (auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)) {
            auto* known = static_cast<Connection*>(info->socket_context);
            if (known && !known->closing && !known->waiting) server->Wait(known);
        }
    }

    static void OnConnection(void* cls, MHD_Connection* connection, void** context,
                             MHD_ConnectionNotificationCode code) {
        auto* server = static_cast<Impl*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* made = new Connection;
            const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            made->fd = info ? info->connect_fd : -1;
            *context = made;
            server->Started(made);
        } else if (*context) {
            server->Closed(static_cast<Connection*>(*context));
            *context = nullptr;
        }
    }

    static void OnLibraryError(void*, const char* format, va_list arguments) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        std::string line = text;
        while (!line.empty() && line.back() == '\n') line.pop_back();
        Log("http: " + line);
    }

    // ---------------------------------------------------------- the loop

    void Run() {
        const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
        pollfd watched[3] = {{info->epoll_fd, POLLIN, 0}, {wake, POLLIN, 0}, {stop, POLLIN, 0}};
        std::uint64_t woken = 0;
        nextNudge = Clock::now() + limits.streamNudge;
        while (true) {
            const Clock::time_point now = Clock::now();
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextNudge - now);
            if (!waiting.empty())
                wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(
                                          waiting.front()->since + limits.headDeadline - now));
            MHD_UNSIGNED_LONG_LONG library = 0;
            if (MHD_get_timeout(daemon, &library) == MHD_YES)
                wait = std::min<std::chrono::milliseconds>(wait, std::chrono::milliseconds(library));
            wait = std::max(std::chrono::milliseconds(0), std::min(wait, std::chrono::milliseconds(1000)));
            poll(watched, 3, static_cast<int>(wait.count()) + (wait.count() > 0 ? 1 : 0));
            if (watched[2].revents) break;
            if (watched[1].revents && read(wake, &woken, sizeof woken) < 0) woken = 0;
            MakeReady(false);
            MHD_run(daemon);
            Sweep(Clock::now());
        }
        // No new connections; the answers waited for are still given (the
        // boards stop after this), and the event streams end.
        MHD_quiesce_daemon(daemon);
        stopping = true;
        const Clock::time_point until = Clock::now() + std::chrono::seconds(2);
        while ((pending > 0 || !streams.empty()) && Clock::now() < until) {
            poll(watched, 2, 10);
            if (watched[1].revents && read(wake, &woken, sizeof woken) < 0) woken = 0;
            MakeReady(false);
            MHD_run(daemon);
        }
        MakeReady(true);
        for (int round = 0; round < 5; ++round) MHD_run(daemon);
    }
};

HttpServer::HttpServer(HttpLimits limits, Handlers handlers) : impl_(new Impl(limits, std::move(handlers))) {
    impl_->stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl_->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

HttpServer::~HttpServer() {
    Stop();
    if (impl_->listening >= 0) close(impl_->listening);
    close(impl_->stop);
    close(impl_->wake);
}

void HttpServer::Wake() {
    impl_->Wake();
}

std::string HttpServer::Listen(const std::string& address, int port, int* bound) {
    sockaddr_storage where = {};
    socklen_t size = 0;
    auto* four = reinterpret_cast<sockaddr_in*>(&where);
    auto* six = reinterpret_cast<sockaddr_in6*>(&where);
    if (inet_pton(AF_INET, address.c_str(), &four->sin_addr) == 1) {
        four->sin_family = AF_INET;
        four->sin_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof *four;
        impl_->loopback = (ntohl(four->sin_addr.s_addr) >> 24) == 127;
    } else if (inet_pton(AF_INET6, address.c_str(), &six->sin6_addr) == 1) {
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof *six;
        impl_->loopback = IN6_IS_ADDR_LOOPBACK(&six->sin6_addr);
    }
    const std::string name = (where.ss_family == AF_INET6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
    const int fd = socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (size == 0 || fd < 0) return "cannot listen on " + name + ": " + std::strerror(size == 0 ? EINVAL : errno);
    // SO_REUSEADDR lets a restart bind while old connections linger; it
    // does not let a second program listen on the same address.
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (where.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&where), size) != 0 || listen(fd, 1024) != 0) {
        const int error = errno;
        close(fd);
        if (error == EADDRINUSE) return "cannot listen on " + name + ": the address is taken (another program listens there)";
        return "cannot listen on " + name + ": " + std::strerror(error);
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size);
    *bound = ntohs(where.ss_family == AF_INET6 ? six->sin6_port : four->sin_port);
    impl_->listening = fd;
    return "";
}

std::string HttpServer::Start() {
    Impl& impl = *impl_;
    if (impl.stop < 0 || impl.wake < 0) return "cannot start the HTTP server: no event descriptor";
    const unsigned perAddress = impl.loopback ? 0u : static_cast<unsigned>(impl.limits.perAddress);
    impl.daemon = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG, 0, nullptr, nullptr, Impl::OnAccess, &impl,
        MHD_OPTION_EXTERNAL_LOGGER, Impl::OnLibraryError, nullptr,
        MHD_OPTION_LISTEN_SOCKET, impl.listening,
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(impl.limits.connections + impl.limits.waiting),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, perAddress,
        // What a connection may hold at once: its request head and the
        // head of its answer. The limits above are checked well within it.
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16384),
        MHD_OPTION_CONNECTION_TIMEOUT, 30u,
        MHD_OPTION_NOTIFY_COMPLETED, Impl::OnCompleted, &impl,
        MHD_OPTION_NOTIFY_CONNECTION, Impl::OnConnection, &impl,
        MHD_OPTION_END);
    if (!impl.daemon) return "cannot start the HTTP server";
    impl.listening = -1;  // the library's now
    impl.loop = std::thread(&Impl::Run, &impl);
    return "";
}

void HttpServer::Stop() {
    Impl& impl = *impl_;
    if (!impl.daemon) return;
    const std::uint64_t one = 1;
    if (write(impl.stop, &one, sizeof one) < 0) Log("http: cannot wake the server to stop it");
    impl.loop.join();
    MHD_stop_daemon(impl.daemon);
    impl.daemon = nullptr;
}
