#include "board/record.h"
#include "board/state_files.h"
#include "ports/port_paths.h"

std::string RealPortPath(const std::string& port, const std::string&) {
    return port;
}

std::string StablePortPath(const std::string& port, const std::string&) {
    return port;
}

std::string ServiceSocketPath(const std::string&) {
    return "";
}

std::string OwnServiceSocketPath(const std::string&) {
    return "";
}

// The port's unshared open keeps other programs out; senders of one
// account also take turns on a file beside their records, so that each
// reads the record only after the one before has written it.
std::string TurnLockPath(const std::string& port) {
    std::string ignored;
    const std::string directory = StateFiles::AccountDirectory(&ignored);
    return directory.empty() ? "" : directory + "\\octolatch-" + FileNameOf(port) + ".lock";
}
