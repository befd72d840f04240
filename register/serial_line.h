// The serial-port services the program needs of the operating system, and
// nothing more. The Windows build implements them in serial_line_win32.cpp;
// the tests link a recording fake in its place.
#pragma once

#include <cstdint>

using PortHandle = void*;

// Line control codes, numerically EscapeCommFunction's SETRTS to CLRBREAK.
enum class LineCode : std::uint32_t {
    SetRts = 3,    // raise RTS, the latch strobe
    ClrRts = 4,
    SetDtr = 5,    // raise DTR, the shift clock
    ClrDtr = 6,
    SetBreak = 8,  // hold TXD in the break state: data bit 1
    ClrBreak = 9,  // TXD idle: data bit 0
};

// Platform error codes the core tells apart.
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorMoreData = 234;

// A port's settings record, laid out field for field like the Windows DCB
// (28 bytes); the flags word holds the DCB's bit fields.
struct CommSettings {
    std::uint32_t length;
    std::uint32_t baudRate;
    std::uint32_t flags;
    std::uint16_t reserved;
    std::uint16_t xonLimit;
    std::uint16_t xoffLimit;
    std::uint8_t byteSize;
    std::uint8_t parity;
    std::uint8_t stopBits;
    char xonChar;
    char xoffChar;
    char errorChar;
    char eofChar;
    char eventChar;
    std::uint16_t reserved1;
};
static_assert(sizeof(CommSettings) == 28, "CommSettings must match the DCB");

namespace SerialLine {

// Fills buffer with the device names, each ended by a zero, the list ended by
// one more. Returns the characters stored, or 0 on failure (see LastError).
std::uint32_t ListDevices(wchar_t* buffer, std::uint32_t size);

// Opens a port for exclusive reading and writing; false on failure.
bool Open(const wchar_t* path, PortHandle* port);

void ReadSettings(PortHandle port, CommSettings* settings);
void WriteSettings(PortHandle port, const CommSettings* settings);
void ControlLine(PortHandle port, LineCode code);
void Close(PortHandle port);

// Waits one millisecond.
void Pause();

// Bracket a run of pauses that must each really last about one millisecond.
void BeginFineTiming();
void EndFineTiming();

// The error code of the last failed call on this thread.
std::uint32_t LastError();

}  // namespace SerialLine
