#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "board/record.h"
#include "ports/port_paths.h"

namespace fs = std::filesystem;

std::string RealPortPath(const std::string& port, const std::string& root) {
    std::error_code error;
    const std::string path = DevicePath(port);
    const fs::path real = fs::canonical(root + path, error);
    if (error) return fs::absolute(path, error).lexically_normal().string();
    return real.string().substr(root.size());
}

std::string StablePortPath(const std::string& port, const std::string& root) {
    const std::string byId = "/dev/serial/by-id/";
    const std::string path = DevicePath(port);
    if (path.compare(0, byId.size(), byId) == 0) return path;
    const std::string real = RealPortPath(port, root);
    std::error_code error;
    for (fs::directory_iterator link(root + byId, error); !error && link != fs::directory_iterator();
         link.increment(error)) {
        std::error_code unresolved;
        if (fs::canonical(link->path(), unresolved).string() == root + real && !unresolved)
            return byId + link->path().filename().string();
    }
    return real;
}

namespace {

constexpr char kSystemDirectory[] = "/run/octolatch";

}  // namespace

std::string RuntimeDirectory() {
    const char* directory = std::getenv("OCTOLATCH_RUNTIME_DIR");
    return directory && directory[0] ? directory : kSystemDirectory;
}

namespace {

// An account's own directory under $XDG_RUNTIME_DIR (made by the login for
// it alone, emptied at logout); "" without one.
std::string AccountDirectory() {
    const char* directory = std::getenv("XDG_RUNTIME_DIR");
    return directory && directory[0] == '/' ? std::string(directory) + "/octolatch" : "";
}

std::string SocketName(const std::string& port) {
    return "/" + FileNameOf(RealPortPath(port)) + ".socket";
}

}  // namespace

// The system's service first; then a service this account runs by hand.
std::string ServiceSocketPath(const std::string& port) {
    const std::string system = RuntimeDirectory() + SocketName(port);
    if (std::getenv("OCTOLATCH_RUNTIME_DIR") || AccountDirectory().empty()) return system;
    std::error_code error;
    const std::string own = AccountDirectory() + SocketName(port);
    if (!fs::exists(system, error) && fs::exists(own, error)) return own;
    return system;
}

// The system's service (root, or started by systemd, which gives it a
// STATE_DIRECTORY) answers in /run/octolatch; one run by hand in the
// account's own directory, made here, where /run/octolatch is not its to use.
std::string OwnServiceSocketPath(const std::string& port) {
    const bool system = geteuid() == 0 || std::getenv("STATE_DIRECTORY");
    if (std::getenv("OCTOLATCH_RUNTIME_DIR") || system || AccountDirectory().empty())
        return RuntimeDirectory() + SocketName(port);
    mkdir(AccountDirectory().c_str(), 0700);
    return AccountDirectory() + SocketName(port);
}

// Where the service is installed its runtime directory (made at boot, 0770
// root:dialout) holds the locks, so that an account outside dialout cannot
// take a board's turn. Without it, /run/lock, writable by every account
// (FHS 3.0, 5.9) and emptied at boot.
std::string TurnLockPath(const std::string& port) {
    const std::string name = FileNameOf(RealPortPath(port));
    std::error_code error;
    if (fs::is_directory(RuntimeDirectory(), error)) return RuntimeDirectory() + "/" + name + ".lock";
    return "/run/lock/octolatch-" + name + ".lock";
}
