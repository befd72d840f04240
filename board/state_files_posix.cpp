// StateFiles on POSIX. Each function is a few calls; the format and the
// rules live in record.cpp.
#include "board/state_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace StateFiles {

namespace {

// A record is a few lines; anything larger is not one.
constexpr std::size_t kLargestFile = 65536;

bool WriteAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Makes each missing directory of path, only for this account (0700).
bool MakeDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

}  // namespace

const char kSeparator[] = "/";

Read ReadText(const std::string& path, std::string* text, std::string* reason) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return errno == ENOENT ? Read::Missing : Read::Failed;
    }
    text->clear();
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) text->append(buffer, static_cast<std::size_t>(got));
        if (text->size() > kLargestFile) break;
    }
    const int error = errno;
    close(fd);
    if (got < 0) *reason = std::strerror(error);
    if (text->size() > kLargestFile) *reason = "larger than a record can be";
    return got < 0 || text->size() > kLargestFile ? Read::Failed : Read::Done;
}

std::string ReplaceText(const std::string& path, const std::string& text) {
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) return path + ": " + std::strerror(errno);
    const bool written = fchmod(fd, 0600) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
    const int error = errno;
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        const int failure = written ? errno : error;
        unlink(temporary.c_str());
        return path + ": " + std::strerror(failure);
    }
    // The rename itself is made durable by flushing the directory.
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0) {
        fsync(directoryFd);
        close(directoryFd);
    }
    return "";
}

std::string AccountDirectory(std::string* reason) {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string directory;
    // XDG_STATE_HOME must be absolute; a relative one is to be ignored (XDG base directories).
    if (state && state[0] == '/')
        directory = std::string(state) + "/octolatch";
    else if (home && home[0] == '/')
        directory = std::string(home) + "/.local/state/octolatch";
    else {
        *reason = "neither $XDG_STATE_HOME nor $HOME names a directory (use --state FILE)";
        return "";
    }
    if (!MakeDirectories(directory)) {
        *reason = directory + ": " + std::strerror(errno);
        return "";
    }
    return directory;
}

}  // namespace StateFiles
