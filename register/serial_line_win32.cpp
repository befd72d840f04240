// SerialLine on KERNEL32. Every function is a call or two; logic belongs in
// the core.
#include "register/serial_line.h"

#include <windows.h>

#include <cstddef>

// Windows 10 1803 and later; older systems refuse the flag (error 87).
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

static_assert(static_cast<int>(LineCode::SetRts) == SETRTS &&
                  static_cast<int>(LineCode::ClrRts) == CLRRTS &&
                  static_cast<int>(LineCode::SetDtr) == SETDTR &&
                  static_cast<int>(LineCode::ClrDtr) == CLRDTR &&
                  static_cast<int>(LineCode::SetBreak) == SETBREAK &&
                  static_cast<int>(LineCode::ClrBreak) == CLRBREAK,
              "LineCode must match EscapeCommFunction's codes");
static_assert(sizeof(DCB) == sizeof(CommSettings), "CommSettings must match the DCB");
static_assert(offsetof(DCB, BaudRate) == offsetof(CommSettings, baudRate), "DCB layout");
static_assert(offsetof(DCB, wReserved) == offsetof(CommSettings, reserved), "DCB layout");
static_assert(offsetof(DCB, ByteSize) == offsetof(CommSettings, byteSize), "DCB layout");
static_assert(offsetof(DCB, wReserved1) == offsetof(CommSettings, reserved1), "DCB layout");

namespace {

HANDLE fineTimer;  // while fine timing is on, if the system has one

}  // namespace

namespace SerialLine {

std::uint32_t ListDevices(wchar_t* buffer, std::uint32_t size) {
    return QueryDosDeviceW(nullptr, buffer, size);
}

bool Open(const wchar_t* path, PortHandle* port) {
    *port = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    return *port != INVALID_HANDLE_VALUE;
}

bool Open(const char* path, PortHandle* port) {
    *port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    return *port != INVALID_HANDLE_VALUE;
}

// Opening with no sharing already keeps every other program out.
bool Lock(PortHandle) {
    return true;
}

// An unshared open of the file is the lock: another is refused with
// ERROR_SHARING_VIOLATION until it is closed.
bool LockTurn(const char* path, PortHandle* turn) {
    *turn = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return *turn != INVALID_HANDLE_VALUE;
}

void UnlockTurn(PortHandle turn) {
    CloseHandle(turn);
}

bool ReadSettings(PortHandle port, CommSettings* settings) {
    return GetCommState(port, reinterpret_cast<DCB*>(settings)) != 0;
}

bool WriteSettings(PortHandle port, const CommSettings* settings) {
    return SetCommState(port, reinterpret_cast<DCB*>(const_cast<CommSettings*>(settings))) != 0;
}

bool ControlLine(PortHandle port, LineCode code) {
    return EscapeCommFunction(port, static_cast<DWORD>(code)) != 0;
}

void Close(PortHandle port) {
    CloseHandle(port);
}

// A port whose device is gone fails every call.
bool StillThere(PortHandle port) {
    DWORD status = 0;
    return GetCommModemStatus(port, &status) != 0;
}

std::int64_t Clock() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

std::int64_t ClockTicksPerSecond() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

// Without the high-resolution timer (none is made outside fine timing, and
// older systems have none) a sleep lasts whole ticks of the system timer,
// up to 15.6 ms, so only whole milliseconds are slept and a pause watches
// the clock for the rest.
void Sleep(std::int64_t microseconds) {
    LARGE_INTEGER due;
    due.QuadPart = -10 * microseconds;  // relative, in 100-ns units
    if (SetWaitableTimer(fineTimer, &due, 0, nullptr, nullptr, FALSE))
        WaitForSingleObject(fineTimer, INFINITE);
    else
        ::Sleep(static_cast<DWORD>(microseconds / 1000));
}

// A high-resolution timer wakes within the millisecond without changing the
// system's timer period, which would slow the whole machine down.
void BeginFineTiming() {
    fineTimer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                       TIMER_ALL_ACCESS);
}

void EndFineTiming() {
    CloseHandle(fineTimer);
    fineTimer = nullptr;
}

void GiveWay() {
    SwitchToThread();
}

std::uint32_t LastError() {
    return GetLastError();
}

// Windows refuses a port that another program has open with "access denied".
PortError KindOfError(std::uint32_t code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return PortError::NotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return PortError::Busy;
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
            return PortError::NotSerial;
    }
    return PortError::Other;
}

std::string ErrorText(std::uint32_t code) {
    char text[512];
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       text, sizeof text, nullptr);
    return std::string(text, length);
}

// Windows grants serial ports to no group.
std::string AccessGroup(const char*) {
    return "";
}

}  // namespace SerialLine
