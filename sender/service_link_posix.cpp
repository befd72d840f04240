#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sender/service_link.h"

namespace ServiceLink {

bool Connect(const std::string& path, int* link) {
    *link = -1;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    *link = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (*link < 0) return false;
    if (connect(*link, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
    close(*link);
    *link = -1;
    return false;
}

// Reads a byte at a time: answers are short, and nothing after the line
// end may be taken from the next answer.
Read Ask(int link, const std::string& request, std::string* answer) {
    const std::string line = request + "\n";
    for (std::size_t sent = 0; sent < line.size();) {
        const ssize_t written = send(link, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) return Read::Interrupted;
        if (written <= 0) return errno == EPIPE || errno == ECONNRESET ? Read::Closed : Read::Failed;
        sent += static_cast<std::size_t>(written);
    }
    answer->clear();
    for (;;) {
        char c = 0;
        const ssize_t got = recv(link, &c, 1, 0);
        if (got < 0 && errno == EINTR) return Read::Interrupted;
        if (got < 0) return errno == ECONNRESET ? Read::Closed : Read::Failed;
        if (got == 0) return Read::Closed;
        if (c == '\n') return Read::Line;
        if (answer->size() < 4096) *answer += c;
    }
}

void Close(int link) {
    close(link);
}

}  // namespace ServiceLink
