#include "ports/active_port.h"

#include <cwchar>

OpenPort ActivePort = {};

namespace {

// "\\.\" plus a PortName and its terminator.
constexpr std::size_t kDevicePathSize = 4 + kPortNameSize;

// Ports are opened through the device namespace: a bare "COM10" or above is
// taken as a file name in the current directory, only COM1 to COM9 are
// reserved device names. Callers pass names shorter than kPortNameSize.
bool OpenByName(const wchar_t* name, PortHandle* port) {
    wchar_t path[kDevicePathSize] = L"\\\\.\\";
    std::wmemcpy(path + 4, name, std::wcslen(name) + 1);
    return SerialLine::Open(path, port);
}

}  // namespace

// Writes what "COM%d" would; by hand, because MinGW's swprintf brings a
// printf of its own (20 KB) into the program.
void FormatPortName(wchar_t* name, std::int32_t number) {
    wchar_t digits[10];
    int count = 0;
    std::int64_t rest = number;
    if (rest < 0) rest = -rest;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    wchar_t* next = std::wmemcpy(name, L"COM", 3) + 3;
    if (number < 0) *next++ = L'-';
    while (count > 0) *next++ = digits[--count];
    *next = L'\0';
}

bool OpenFirstUsablePort(const PortNumbers& list) {
    for (const std::int32_t number : list) {
        FormatPortName(ActivePort.name, number);
        if (OpenByName(ActivePort.name, &ActivePort.handle)) return true;
    }
    return false;
}

void SwitchPort(const wchar_t* selected, const PortSwitchUi& ui) {
    if (std::wcscmp(selected, ActivePort.name) == 0) return;

    // A text too long for a PortName names no port; it is never opened.
    const std::size_t length = std::wcslen(selected);
    const bool fits = length < kPortNameSize;
    PortHandle opened = {};
    if (fits && OpenByName(selected, &opened)) {
        SerialLine::Close(ActivePort.handle);
        ActivePort.handle = opened;
        std::wmemcpy(ActivePort.name, selected, length + 1);
    } else if (!fits || SerialLine::LastError() == kErrorFileNotFound) {
        ui.showError(L"Port not found");
    } else {
        ui.showError(L"Port unreachable");
    }
    ui.showActivePort(ActivePort.name);
    ConfigurePort(ActivePort.handle);
}

void CloseActivePort() {
    SerialLine::Close(ActivePort.handle);
}
