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

std::string RuntimeDirectory() {
    const char* directory = std::getenv("OCTOLATCH_RUNTIME_DIR");
    return directory && directory[0] ? directory : "/run/octolatch";
}

std::string ServiceSocketPath(const std::string& port) {
    return RuntimeDirectory() + "/" + FileNameOf(RealPortPath(port)) + ".socket";
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
