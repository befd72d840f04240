// SerialLine on KERNEL32. Every function is one call; logic belongs in the core.
#include "register/serial_line.h"

#include <windows.h>
#include <timeapi.h>

#include <cstddef>

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

namespace SerialLine {

std::uint32_t ListDevices(wchar_t* buffer, std::uint32_t size) {
    return QueryDosDeviceW(nullptr, buffer, size);
}

bool Open(const wchar_t* path, PortHandle* port) {
    *port = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    return *port != INVALID_HANDLE_VALUE;
}

void ReadSettings(PortHandle port, CommSettings* settings) {
    GetCommState(port, reinterpret_cast<DCB*>(settings));
}

void WriteSettings(PortHandle port, const CommSettings* settings) {
    SetCommState(port, reinterpret_cast<DCB*>(const_cast<CommSettings*>(settings)));
}

void ControlLine(PortHandle port, LineCode code) {
    EscapeCommFunction(port, static_cast<DWORD>(code));
}

void Close(PortHandle port) {
    CloseHandle(port);
}

void Pause() {
    Sleep(1);
}

// Without this, Sleep(1) lasts a whole scheduler tick, up to about 15.6 ms.
void BeginFineTiming() {
    timeBeginPeriod(1);
}

void EndFineTiming() {
    timeEndPeriod(1);
}

std::uint32_t LastError() {
    return GetLastError();
}

}  // namespace SerialLine
