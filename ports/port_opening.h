// Opening a port for one program alone, configured as the register needs,
// and what a failure means to the person who asked.
#pragma once

#include <cstdint>
#include <string>

#include "register/serial_line.h"

// Opens, locks and configures the port; returns 0, or the failed step's
// error code with *doing saying the step ("open it", "lock it",
// "configure it"). On failure nothing is left open.
std::uint32_t OpenAndConfigure(const std::string& port, PortHandle* handle, const char** doing);

// "PORT: no such port", "PORT: port busy: ...", "PORT: permission denied;
// members of the group ...", "PORT: not a serial port", or "PORT: cannot
// DOING: the system's reason".
std::string ProblemWith(const std::string& port, const char* doing, std::uint32_t code);

std::string PortBusy(const std::string& port);
std::string PermissionDenied(const std::string& port);

// The system's words for an error code, without the line end some add.
std::string Reason(std::uint32_t code);
