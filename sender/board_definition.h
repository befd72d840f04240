// The board that the service's configuration defines on a port, for a
// sender run while the service is stopped: its width, its inversion and
// the rules its outputs keep. board_definition_linux.cpp reads the
// service's own file with the service's own reader; Windows has no service.
#pragma once

#include <string>

#include "board/rules.h"

struct BoardDefinition {
    bool found = false;  // a board of the configuration is on the port
    std::string name;
    bool invert = false;
    BoardRules rules;    // its outputs, interlocks and auto-offs
};

// Reads the configuration at path and finds the board on port (the same
// device, by whatever path). A missing file is no board unless `given`;
// returns "" or the problem (the file unreadable or not valid).
std::string ReadBoardDefinition(const std::string& path, bool given, const std::string& port,
                                BoardDefinition* definition);
