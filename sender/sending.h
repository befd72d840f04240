// What the sender does with a command: the record, the turn, the port, and
// the transmissions.
#pragma once

#include <cstdio>
#include <string>

#include "register/serial_line.h"
#include "sender/arguments.h"

// Exit codes: sent; the port, the record or standard input failed; a bad
// argument or input line. An interruption ends with 128 + its signal.
constexpr int kExitSent = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBadInput = 2;

// How a run ends: the exit code, what to tell the user on standard error
// ("" for nothing) and what to print on standard output.
struct Outcome {
    int exitCode;
    std::string message;
    std::string output = "";
};

// --get: the remembered value or one output's state, from the record alone.
Outcome GetState(const Command& command);

// Carries out a Send command: its items, or those on each line of input.
Outcome SendCommand(const Command& command, std::FILE* input);

// Opens the port for this program alone and configures it as the window
// does; on failure nothing is left open and nothing was sent.
Outcome OpenPortForSending(const std::string& port, PortHandle* handle);
