#include "sender/board_definition.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "ports/port_paths.h"
#include "service/configuration.h"

std::string ReadBoardDefinition(const std::string& path, bool given, const std::string& port,
                                BoardDefinition* definition) {
    *definition = BoardDefinition{};
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT && !given) return "";
        return "cannot read the service's configuration " + path + ": " + std::strerror(errno);
    }
    std::vector<std::string> problems;
    const Configuration configuration = ReadConfiguration(path, &problems);
    if (!problems.empty()) return "the service's configuration is not valid: " + problems.front();
    const std::string device = RealPortPath(port);
    for (const BoardSettings& board : configuration.boards) {
        if (RealPortPath(board.port) != device) continue;
        definition->found = true;
        definition->name = board.name;
        definition->invert = board.invert;
        definition->rules = RulesOf(board);
    }
    return "";
}
