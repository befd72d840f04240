// Opening the port for the sender, and sending values to it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "register/serial_line.h"

// Exit codes: sent; the port or standard input failed; a bad argument or
// input line.
constexpr int kExitSent = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBadInput = 2;

// How a run ends: the exit code and what to tell the user ("" for nothing).
struct Outcome {
    int exitCode;
    std::string message;
};

// The path a PORT names: a bare name is a device in the platform's device
// directory ("ttyUSB0" is /dev/ttyUSB0, "COM3" is \\.\COM3).
std::string DevicePath(const std::string& port);

// Opens the port for this program alone and configures it as the window
// does; on failure nothing is left open and nothing was sent.
Outcome OpenPortForSending(const std::string& port, PortHandle* handle);

// Clock each value into the register, at least intervalMs apart.
Outcome SendValues(PortHandle handle, const std::string& port,
                   const std::vector<std::uint8_t>& values, std::int64_t intervalMs);

// Sends the value on each line of input as soon as the line has been read.
// A bad line ends the run; the values before it stay sent.
Outcome SendInputLines(PortHandle handle, const std::string& port, std::FILE* input,
                       std::int64_t intervalMs);
