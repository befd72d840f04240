// The serial-port services the programs need of the operating system, and
// nothing more. serial_line_win32.cpp implements them on KERNEL32,
// serial_line_posix.cpp on POSIX; the tests link a recording fake instead.
#pragma once

#include <cstdint>
#include <string>

// A bare port name ("COM3", "ttyUSB0") names a device in kDeviceDirectory;
// a name with a separator in it is a path already.
#ifdef _WIN32
using PortHandle = void*;  // a HANDLE
// COM10 and above have no name outside the device namespace.
constexpr char kDeviceDirectory[] = "\\\\.\\";
constexpr char kPathSeparators[] = "\\/";
#else
using PortHandle = int;  // a file descriptor
constexpr char kDeviceDirectory[] = "/dev/";
constexpr char kPathSeparators[] = "/";
#endif

// Line control codes, numerically EscapeCommFunction's SETRTS to CLRBREAK.
enum class LineCode : std::uint32_t {
    SetRts = 3,    // raise RTS, the latch strobe
    ClrRts = 4,
    SetDtr = 5,    // raise DTR, the shift clock
    ClrDtr = 6,
    SetBreak = 8,  // hold TXD in the break state: data bit 1
    ClrBreak = 9,  // TXD idle: data bit 0
};

// Windows error codes the window's discovery and port switch tell apart.
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorMoreData = 234;

// What a failed open, lock or settings call means to someone choosing a port.
enum class PortError { Other, NotFound, Busy, Denied, NotSerial };

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

// Windows only, for the window: fills buffer with the device names, each
// ended by a zero, the list ended by one more. Returns the characters
// stored, or 0 on failure (see LastError).
std::uint32_t ListDevices(wchar_t* buffer, std::uint32_t size);

// Opens a port for exclusive reading and writing; false on failure. The
// wide form is the window's (Windows only), the narrow one the sender's.
bool Open(const wchar_t* path, PortHandle* port);
bool Open(const char* path, PortHandle* port);

// Makes sure no other program uses the port while it is open here.
bool Lock(PortHandle port);

// Takes the lock file at path (made if missing) for this program alone,
// without waiting: false when another program holds it (an error of kind
// Busy) or it cannot be had. Programs take it in turn before they open the
// port, since on some systems merely opening a port moves its lines.
bool LockTurn(const char* path, PortHandle* turn);
void UnlockTurn(PortHandle turn);

// The settings calls and line changes return false on failure.
bool ReadSettings(PortHandle port, CommSettings* settings);
bool WriteSettings(PortHandle port, const CommSettings* settings);
bool ControlLine(PortHandle port, LineCode code);
void Close(PortHandle port);

// False once the device behind an open port has gone (a USB adapter
// pulled out): the port then stays useless and must be opened again.
bool StillThere(PortHandle port);

// A monotonic clock, in ticks of the platform's choosing.
std::int64_t Clock();
std::int64_t ClockTicksPerSecond();

// Waits about this long; it may wake later, never much earlier.
void Sleep(std::int64_t microseconds);

// Bracket a run of pauses that must each last about one millisecond.
void BeginFineTiming();
void EndFineTiming();

// Lets any other thread that is ready to run have the processor first.
void GiveWay();

// The error code of the last failed call on this thread, what it means to
// the user, and the system's own words for it.
std::uint32_t LastError();
PortError KindOfError(std::uint32_t code);
std::string ErrorText(std::uint32_t code);

// The group whose members may read and write the device at path, or "" when
// no group grants that (or the platform has no such thing).
std::string AccessGroup(const char* path);

}  // namespace SerialLine
