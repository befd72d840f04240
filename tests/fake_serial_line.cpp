#include "tests/fake_serial_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace Fake {

std::vector<std::string> log;
std::vector<std::int64_t> logTimes;
std::wstring deviceNames;
std::uint32_t listError = kErrorInsufficientBuffer;
std::map<std::string, std::uint32_t> refusedOpens;
std::map<std::string, std::uint32_t> failingCalls;
std::int64_t turnFreeAt = 0;
CommSettings settingsToRead = {};
CommSettings settingsWritten = {};
std::int64_t now = 0;
std::int64_t clockStep = 1000;
std::int64_t (*sleepLength)(std::int64_t requested) = nullptr;
std::vector<std::int64_t> sleeps;
std::size_t givenWay = 0;
std::map<std::string, std::string> accessGroups;

namespace {
int opened = 0;
std::uint32_t lastError = 0;

std::string Name(PortHandle port) {
    return "#" + std::to_string(port);
}

const char* CodeName(LineCode code) {
    switch (code) {
        case LineCode::SetRts: return "SETRTS";
        case LineCode::ClrRts: return "CLRRTS";
        case LineCode::SetDtr: return "SETDTR";
        case LineCode::ClrDtr: return "CLRDTR";
        case LineCode::SetBreak: return "SETBREAK";
        case LineCode::ClrBreak: return "CLRBREAK";
    }
    return "code?";
}

// Logs a call; false, with its error code left behind, if it is to fail.
bool Call(const std::string& line) {
    log.push_back(line);
    logTimes.push_back(now);
    const auto failure = failingCalls.find(line);
    if (failure == failingCalls.end()) return true;
    lastError = failure->second;
    return false;
}

bool OpenPath(const std::string& path, PortHandle* port) {
    const auto refused = refusedOpens.find(path);
    if (refused != refusedOpens.end()) {
        Call("open " + path + " fails");
        lastError = refused->second;
        *port = -1;
        return false;
    }
    *port = Handle(++opened);
    return Call("open " + path + " -> " + Name(*port));
}
}  // namespace

void Reset() {
    log.clear();
    logTimes.clear();
    deviceNames.clear();
    listError = kErrorInsufficientBuffer;
    refusedOpens.clear();
    failingCalls.clear();
    turnFreeAt = 0;
    settingsToRead = {};
    settingsWritten = {};
    now = 0;
    clockStep = 1000;
    sleepLength = nullptr;
    sleeps.clear();
    givenWay = 0;
    accessGroups.clear();
    opened = 0;
    lastError = 0;
}

std::vector<std::uint64_t> Latched(int outputs, bool invert) {
    std::vector<std::uint64_t> latched;
    std::uint64_t data = 0, stages = 0;
    for (const std::string& line : log) {
        if (line.rfind("SETBREAK", 0) == 0) data = invert ? 0 : 1;
        if (line.rfind("CLRBREAK", 0) == 0) data = invert ? 1 : 0;
        if (line.rfind("SETDTR", 0) == 0) stages = (stages >> 1) | (data << (outputs - 1));
        if (line.rfind("SETRTS", 0) == 0) latched.push_back(stages);
    }
    return latched;
}

PortHandle Handle(int n) {
    return n;
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += static_cast<char>(c);
    return narrow;
}

}  // namespace Fake

namespace SerialLine {

std::uint32_t ListDevices(wchar_t* buffer, std::uint32_t size) {
    Fake::log.push_back("list " + std::to_string(size));
    Fake::logTimes.push_back(Fake::now);
    const std::size_t length = Fake::deviceNames.size();
    std::copy_n(Fake::deviceNames.begin(), std::min<std::size_t>(length, size), buffer);
    if (length > size && Fake::listError != 0) {
        Fake::lastError = Fake::listError;
        return 0;
    }
    return static_cast<std::uint32_t>(std::min<std::size_t>(length, size));
}

bool Open(const wchar_t* path, PortHandle* port) {
    return Fake::OpenPath(Fake::Narrow(path), port);
}

bool Open(const char* path, PortHandle* port) {
    return Fake::OpenPath(path, port);
}

bool Lock(PortHandle port) {
    return Fake::Call("lock " + Fake::Name(port));
}

bool LockTurn(const char* path, PortHandle* turn) {
    if (Fake::now < Fake::turnFreeAt) {
        Fake::Call("turn " + std::string(path) + " busy");
        Fake::lastError = EBUSY;
        return false;
    }
    const auto refused = Fake::refusedOpens.find(path);
    if (refused != Fake::refusedOpens.end()) {
        Fake::Call("turn " + std::string(path) + " fails");
        Fake::lastError = refused->second;
        return false;
    }
    *turn = 99;
    return Fake::Call("turn " + std::string(path) + " -> " + Fake::Name(*turn));
}

void UnlockTurn(PortHandle turn) {
    Fake::Call("end of turn " + Fake::Name(turn));
}

bool ReadSettings(PortHandle port, CommSettings* settings) {
    const std::uint32_t length = settings->length;
    *settings = Fake::settingsToRead;
    return Fake::Call("read " + Fake::Name(port) + " length " + std::to_string(length));
}

bool WriteSettings(PortHandle port, const CommSettings* settings) {
    Fake::settingsWritten = *settings;
    return Fake::Call("write " + Fake::Name(port) + " at " + std::to_string(settings->baudRate));
}

bool ControlLine(PortHandle port, LineCode code) {
    return Fake::Call(std::string(Fake::CodeName(code)) + " " + Fake::Name(port));
}

void Close(PortHandle port) {
    Fake::Call("close " + Fake::Name(port));
}

bool StillThere(PortHandle port) {
    return Fake::Call("still there #" + std::to_string(port));
}

std::int64_t Clock() {
    Fake::now += Fake::clockStep;
    return Fake::now;
}

std::int64_t ClockTicksPerSecond() {
    return 1000000000;
}

void Sleep(std::int64_t microseconds) {
    Fake::sleeps.push_back(microseconds);
    const std::int64_t requested = microseconds * 1000;
    Fake::now += Fake::sleepLength ? Fake::sleepLength(requested) : requested;
}

void BeginFineTiming() {
    Fake::Call("fine timing on");
}

void EndFineTiming() {
    Fake::Call("fine timing off");
}

// Another thread's turn lasts as long as a sleep of nothing.
void GiveWay() {
    ++Fake::givenWay;
    Fake::now += Fake::sleepLength ? Fake::sleepLength(0) : 0;
}

std::uint32_t LastError() {
    return Fake::lastError;
}

// The fake speaks errno, as on Linux (ENOENT is also Windows' "file not found").
PortError KindOfError(std::uint32_t code) {
    switch (code) {
        case ENOENT: return PortError::NotFound;
        case EBUSY: return PortError::Busy;
        case EACCES: return PortError::Denied;
        case ENOTTY: return PortError::NotSerial;
    }
    return PortError::Other;
}

std::string ErrorText(std::uint32_t code) {
    return "system text for " + std::to_string(code) + "\n";
}

std::string AccessGroup(const char* path) {
    const auto group = Fake::accessGroups.find(path);
    return group == Fake::accessGroups.end() ? "" : group->second;
}

}  // namespace SerialLine
