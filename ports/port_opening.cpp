#include "ports/port_opening.h"

#include "ports/port_paths.h"
#include "ports/port_settings.h"

// The system's words for an error code, without the line end some add.
std::string Reason(std::uint32_t code) {
    std::string text = SerialLine::ErrorText(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : text;
}

std::string PortBusy(const std::string& port) {
    return port + ": port busy: another program is using it";
}

std::string PermissionDenied(const std::string& port) {
    const std::string group = SerialLine::AccessGroup(DevicePath(port).c_str());
    if (group.empty()) return port + ": permission denied";
    return port + ": permission denied; members of the group '" + group +
           "' may use it (sudo usermod -aG " + group + " $USER, then log in again)";
}

std::string ProblemWith(const std::string& port, const char* doing, std::uint32_t code) {
    switch (SerialLine::KindOfError(code)) {
        case PortError::NotFound:
            return port + ": no such port";
        case PortError::Busy:
            return PortBusy(port);
        case PortError::NotSerial:
            return port + ": not a serial port";
        case PortError::Denied:
            return PermissionDenied(port);
        case PortError::Other:
            break;
    }
    return port + ": cannot " + doing + ": " + Reason(code);
}

std::uint32_t OpenAndConfigure(const std::string& port, PortHandle* handle, const char** doing) {
    *doing = "open it";
    if (!SerialLine::Open(DevicePath(port).c_str(), handle)) return SerialLine::LastError();
    *doing = "lock it";
    std::uint32_t error = SerialLine::Lock(*handle) ? 0 : SerialLine::LastError();
    if (error == 0) {
        *doing = "configure it";
        error = ConfigurePort(*handle);
    }
    if (error != 0) SerialLine::Close(*handle);
    return error;
}

