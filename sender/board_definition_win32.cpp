#include "sender/board_definition.h"

// The service, and so its configuration, is Linux's only.
std::string ReadBoardDefinition(const std::string& path, bool given, const std::string&,
                                BoardDefinition* definition) {
    *definition = BoardDefinition{};
    return given ? "--config " + path + ": octolatch-send on Windows reads no service configuration" : "";
}
