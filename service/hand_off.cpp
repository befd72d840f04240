#include "service/hand_off.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "board/changes.h"
#include "board/output_bits.h"
#include "board/values.h"
#include "ports/port_paths.h"
#include "service/log.h"

namespace {

// More senders than this at once wait for the kernel's backlog.
constexpr std::size_t kMostConnections = 32;

// Whether the peer could open the device at path itself.
bool MayUse(int connection, const std::string& path) {
    ucred peer = {};
    socklen_t size = sizeof peer;
    struct stat device;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || stat(path.c_str(), &device) != 0)
        return false;
    if (peer.uid == 0) return true;
    if (peer.uid == device.st_uid) return (device.st_mode & (S_IRUSR | S_IWUSR)) == (S_IRUSR | S_IWUSR);
    gid_t groups[256];
    socklen_t groupsSize = sizeof groups;
    bool member = peer.gid == device.st_gid;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERGROUPS, groups, &groupsSize) == 0)
        member = member || std::count(groups, groups + groupsSize / sizeof(gid_t), device.st_gid) > 0;
    if (member) return (device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    return (device.st_mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH);
}

bool ReadLine(int connection, std::string* line) {
    line->clear();
    for (char c = 0;;) {
        const ssize_t got = recv(connection, &c, 1, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        if (c == '\n') return true;
        if (line->size() > 4096) return false;
        *line += c;
    }
}

void Say(int connection, const std::string& answer) {
    const std::string line = answer + "\n";
    for (std::size_t sent = 0; sent < line.size();) {
        const ssize_t written = send(connection, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (written <= 0) return;
        sent += static_cast<std::size_t>(written);
    }
}

std::string Done(const Board& board, const Answer& answer) {
    switch (answer.status) {
        case Answer::Done: return "0 " + FormatValue(answer.value, board.Settings().outputs);
        case Answer::Stopping: return "1 octolatchd is stopping";
        case Answer::Refused: return "1 refused: " + answer.reason;
        case Answer::Unavailable: break;
    }
    return "1 unavailable: " + answer.reason + " (octolatchd opens it again every second)";
}

// A pulse, answered once its OFF has been latched, as the sender's own is.
// A service that stops ends the pulse itself, after the senders are let go.
std::string PulseThrough(Board& board, int output, std::int64_t milliseconds, const std::string& who,
                         const std::atomic<bool>& stopping) {
    std::future<Answer> ended;
    const Answer on = board.PulseOutput(output, milliseconds, who, &ended).get();
    if (on.status != Answer::Done) return Done(board, on);
    while (ended.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        if (stopping) return "1 octolatchd is stopping: the pulse ended early";
    const Answer off = ended.get();
    if (off.status == Answer::Stopping) return "1 octolatchd is stopping: the pulse ended early";
    if (off.status != Answer::Done) return Done(board, off);
    return "0 " + FormatValue(on.value, board.Settings().outputs) + " " + FormatValue(off.value, board.Settings().outputs);
}

// One request: "hello", "get N", "value TEXT", "changes ITEM...",
// "pulse N MS". The sender checked the items; they are checked again.
std::string AnswerTo(Board& board, const std::string& request, const std::string& who,
                     const std::atomic<bool>& stopping) {
    const int outputs = board.Settings().outputs;
    const std::size_t space = request.find(' ');
    const std::string verb = request.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : request.substr(space + 1);
    std::int64_t number = 0, milliseconds = 0;
    if (verb == "hello") return "0 " + std::to_string(outputs) + (board.Settings().invert ? " inverted" : " plain");
    if (verb == "get" && ParseWholeNumber(rest, outputs, &number)) {
        const BoardView view = board.Look();
        if (!view.available) return "1 unavailable: " + view.reason + " (octolatchd opens it again every second)";
        if (number == 0) return "0 " + FormatValue(view.value, outputs);
        return view.value & BitOfOutput(static_cast<int>(number), outputs) ? "0 on" : "0 off";
    }
    std::uint64_t value = 0;
    if (verb == "value" && ParseValue(rest, outputs, &value)) return Done(board, board.SetValue(value, who).get());
    if (verb == "pulse") {
        const std::size_t split = rest.find(' ');
        if (ParseWholeNumber(rest.substr(0, split), outputs, &number) && number > 0 && split != std::string::npos &&
            ParseWholeNumber(rest.substr(split + 1), 3600000, &milliseconds) && milliseconds > 0)
            return PulseThrough(board, static_cast<int>(number), milliseconds, who, stopping);
    }
    std::vector<Change> changes;
    if (verb == "changes" && ParseOutputItems(rest, outputs, &changes).empty())
        return Done(board, board.Apply(changes, who).get());
    return "2 bad request " + Quoted(request);
}

}  // namespace

HandOff::HandOff(std::vector<std::unique_ptr<Board>>& boards) : boards_(boards) {}

HandOff::~HandOff() {
    Stop();
}

void HandOff::Open(Door& door) {
    const std::string path = OwnServiceSocketPath(door.board->Settings().port);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::string problem = "the path is too long";
    const int socket = path.size() < sizeof address.sun_path ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    if (socket >= 0) {
        std::memcpy(address.sun_path, path.c_str(), path.size());
        unlink(path.c_str());  // left by a service that was killed
        // Anyone may knock; who may come in is decided by the device's owner and group.
        if (bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            chmod(path.c_str(), 0666) == 0 && listen(socket, 16) == 0) {
            door.path = path;
            door.socket = socket;
            door.problem.clear();
            return;
        }
        problem = std::strerror(errno);
        close(socket);
    }
    if (problem != door.problem)
        Log(door.board->Settings().name + ": no socket " + path + " for octolatch-send: " + problem);
    door.problem = problem;
}

void HandOff::Shut(Door& door) {
    if (door.socket < 0) return;
    close(door.socket);
    unlink(door.path.c_str());
    door.socket = -1;
    door.path.clear();
}

void HandOff::Start() {
    for (const auto& board : boards_) {
        doors_.push_back({board.get(), "", -1, ""});
        Open(doors_.back());
    }
    if (pipe2(wake_, O_CLOEXEC) != 0) return;
    listener_ = std::thread(&HandOff::Listen, this);
}

void HandOff::Stop() {
    if (stopping_.exchange(true)) return;
    if (listener_.joinable()) {
        const char stop = 's';
        if (write(wake_[1], &stop, 1) != 1) Log("the sockets for octolatch-send could not be closed in time");
        listener_.join();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    for (const int connection : connections_) shutdown(connection, SHUT_RDWR);
    finished_.wait(lock, [this] { return connections_.empty(); });
    for (Door& door : doors_) Shut(door);
    for (const int fd : wake_)
        if (fd >= 0) close(fd);
}

// Looks every second whether a board's port has another real path now.
void HandOff::Listen() {
    while (!stopping_) {
        std::vector<pollfd> watched;
        for (const Door& door : doors_) watched.push_back({door.socket, POLLIN, 0});
        watched.push_back({wake_[0], POLLIN, 0});
        if (poll(watched.data(), watched.size(), 1000) < 0 && errno != EINTR) return;
        if (watched.back().revents) return;
        for (std::size_t i = 0; i < doors_.size(); ++i) {
            Door& door = doors_[i];
            if (door.path != OwnServiceSocketPath(door.board->Settings().port)) {
                Shut(door);
                Open(door);
                continue;
            }
            if (!(watched[i].revents & POLLIN)) continue;
            const int connection = accept4(door.socket, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            const std::lock_guard<std::mutex> lock(mutex_);
            if (connections_.size() >= kMostConnections) {
                Say(connection, "1 octolatchd is busy with other senders");
                close(connection);
                continue;
            }
            connections_.push_back(connection);
            std::thread(&HandOff::Serve, this, door.board, connection).detach();
        }
    }
}

void HandOff::Serve(Board* board, int connection) {
    ucred peer = {};
    socklen_t size = sizeof peer;
    getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size);
    const std::string who = "octolatch-send, uid " + std::to_string(peer.uid);
    if (!MayUse(connection, RealPortPath(board->Settings().port))) {
        Log(board->Settings().name + ": refused " + who + ": it may not use the device");
        Say(connection, "denied");
    } else {
        std::string request;
        while (!stopping_ && ReadLine(connection, &request)) Say(connection, AnswerTo(*board, request, who, stopping_));
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    connections_.erase(std::find(connections_.begin(), connections_.end(), connection));
    close(connection);
    finished_.notify_all();
}
