// The sender's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Where the service's configuration is, for a sender run while the service
// is stopped: the board it defines on the port keeps its rules.
constexpr char kServiceConfiguration[] = "/etc/octolatch/octolatchd.toml";

enum class Action { Send, Get, List, Help, Version };

struct Command {
    Action action = Action::Send;
    std::string port;
    std::vector<std::string> items;  // whole values and output changes, in order
    bool fromInput = false;          // "-": the items come from standard input
    std::int64_t intervalMs = 0;     // least time from one transmission's end to the next one's start
    int outputs = 0;                 // --outputs; 0 when not given
    int invert = -1;                 // --invert 1, --no-invert 0; -1 when not given
    std::string statePath;           // --state; "" for the account's own record
    std::string configPath = kServiceConfiguration;  // the service's configuration (--config)
    bool configGiven = false;        // --config: the file must be there
    std::int64_t waitSeconds = 10;   // how long to wait for another program's turn
    int getOutput = 0;               // --get PORT N; 0 for the whole value
    bool verbose = false;
};

// An argument or a line of standard input is a few characters; a longer
// one is refused, not echoed.
constexpr std::size_t kLongestArgument = 256;

// Fills command from the arguments after the program's name. Returns "" or
// what is wrong, naming the bad text or the missing argument; nothing is
// opened here, so a mistake sends nothing.
std::string ParseArguments(const std::vector<std::string>& arguments, Command* command);

extern const char kUsage[];
