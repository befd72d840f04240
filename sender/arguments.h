// The sender's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class Action { Send, List, Help, Version };

struct Command {
    Action action = Action::Send;
    std::string port;
    std::vector<std::uint8_t> values;
    bool fromInput = false;         // "-": the values come from standard input
    std::int64_t intervalMs = 0;    // least time from one transmission's end to the next one's start
};

// Fills command from the arguments after the program's name. Returns "" or
// what is wrong, naming the bad text or the missing argument; nothing is
// opened here, so a mistake sends nothing.
std::string ParseArguments(const std::vector<std::string>& arguments, Command* command);

extern const char kUsage[];
