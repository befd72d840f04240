// A recording stand-in for the platform's serial line, linked into the tests
// instead of the KERNEL32 one. Every call is logged, in order, as one line of
// text: "open \\.\COM3 -> #1", "SETDTR #1", "pause", ...
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "register/serial_line.h"

namespace Fake {

extern std::vector<std::string> log;

// What ListDevices writes: the whole list, embedded zeros and all. A call
// with a buffer smaller than deviceNames fails with listError after writing
// what fits; with listError 0 it truncates silently and succeeds.
extern std::wstring deviceNames;
extern std::uint32_t listError;

// Paths whose open fails, with the error code the failure leaves.
extern std::map<std::wstring, std::uint32_t> refusedOpens;

// What ReadSettings hands out, and the last record WriteSettings received.
extern CommSettings settingsToRead;
extern CommSettings settingsWritten;

void Reset();

// The handle the n-th successful open returned (n from 1).
PortHandle Handle(int n);

// Narrows a wide string for the log (device names are ASCII).
std::string Narrow(const std::wstring& text);

}  // namespace Fake
