// A recording stand-in for the platform's serial line, linked into the tests
// instead of a real one. Every call is logged, in order, as one line of
// text: "open \\.\COM3 -> #1", "SETDTR #1", "write #1 at 110", ... Clock reads
// and sleeps are not logged; they move a fake clock instead.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "register/serial_line.h"

namespace Fake {

extern std::vector<std::string> log;
extern std::vector<std::int64_t> logTimes;  // the clock at each log line

// What ListDevices writes: the whole list, embedded zeros and all. A call
// with a buffer smaller than deviceNames fails with listError after writing
// what fits; with listError 0 it truncates silently and succeeds.
extern std::wstring deviceNames;
extern std::uint32_t listError;

// Paths whose open (or, for lock files, LockTurn) fails, with the error
// code the failure leaves.
extern std::map<std::string, std::uint32_t> refusedOpens;

// Calls that fail, by their log line ("lock #1", "write #1 at 110", "SETDTR #1"),
// with the error code they leave.
extern std::map<std::string, std::uint32_t> failingCalls;

// Until this moment on the fake clock another program has the turn.
extern std::int64_t turnFreeAt;

// What ReadSettings hands out, and the last record WriteSettings received.
extern CommSettings settingsToRead;
extern CommSettings settingsWritten;

// The clock counts nanoseconds; every read moves it on by clockStep.
extern std::int64_t now;
extern std::int64_t clockStep;

// How long a sleep of the given nanoseconds really lasts; and every sleep
// asked for, in microseconds.
extern std::int64_t (*sleepLength)(std::int64_t requested);
extern std::vector<std::int64_t> sleeps;
// How often GiveWay was called.
extern std::size_t givenWay;

// The group that may use each device, by its path.
extern std::map<std::string, std::string> accessGroups;

void Reset();

// The values a chain of `outputs` registers latched, replayed from the
// logged line changes, behind lines that invert or not.
std::vector<std::uint64_t> Latched(int outputs = 8, bool invert = false);

// The handle the n-th successful open returned (n from 1).
PortHandle Handle(int n);

// Narrows a wide string for the log (device names are ASCII).
std::string Narrow(const std::wstring& text);

}  // namespace Fake
