#include "tests/fake_serial_line.h"

#include <algorithm>
#include <cstdint>

namespace Fake {

std::vector<std::string> log;
std::wstring deviceNames;
std::uint32_t listError = kErrorInsufficientBuffer;
std::map<std::wstring, std::uint32_t> refusedOpens;
CommSettings settingsToRead = {};
CommSettings settingsWritten = {};

namespace {
int opened = 0;
std::uint32_t lastError = 0;

std::string Name(PortHandle port) {
    return "#" + std::to_string(reinterpret_cast<std::uintptr_t>(port));
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
}  // namespace

void Reset() {
    log.clear();
    deviceNames.clear();
    listError = kErrorInsufficientBuffer;
    refusedOpens.clear();
    settingsToRead = {};
    settingsWritten = {};
    opened = 0;
    lastError = 0;
}

PortHandle Handle(int n) {
    return reinterpret_cast<PortHandle>(static_cast<std::uintptr_t>(n));
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
    const std::size_t length = Fake::deviceNames.size();
    std::copy_n(Fake::deviceNames.begin(), std::min<std::size_t>(length, size), buffer);
    if (length > size && Fake::listError != 0) {
        Fake::lastError = Fake::listError;
        return 0;
    }
    return static_cast<std::uint32_t>(std::min<std::size_t>(length, size));
}

bool Open(const wchar_t* path, PortHandle* port) {
    const auto refused = Fake::refusedOpens.find(path);
    if (refused != Fake::refusedOpens.end()) {
        Fake::log.push_back("open " + Fake::Narrow(path) + " fails");
        Fake::lastError = refused->second;
        *port = reinterpret_cast<PortHandle>(~std::uintptr_t{0});
        return false;
    }
    *port = Fake::Handle(++Fake::opened);
    Fake::log.push_back("open " + Fake::Narrow(path) + " -> " + Fake::Name(*port));
    return true;
}

void ReadSettings(PortHandle port, CommSettings* settings) {
    Fake::log.push_back("read " + Fake::Name(port) + " length " +
                        std::to_string(settings->length));
    *settings = Fake::settingsToRead;
}

void WriteSettings(PortHandle port, const CommSettings* settings) {
    Fake::log.push_back("write " + Fake::Name(port));
    Fake::settingsWritten = *settings;
}

void ControlLine(PortHandle port, LineCode code) {
    Fake::log.push_back(std::string(Fake::CodeName(code)) + " " + Fake::Name(port));
}

void Close(PortHandle port) {
    Fake::log.push_back("close " + Fake::Name(port));
}

void Pause() {
    Fake::log.push_back("pause");
}

void BeginFineTiming() {
    Fake::log.push_back("fine timing on");
}

void EndFineTiming() {
    Fake::log.push_back("fine timing off");
}

std::uint32_t LastError() {
    return Fake::lastError;
}

}  // namespace SerialLine
