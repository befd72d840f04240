#include "ports/port_paths.h"

#include "register/serial_line.h"

std::string DevicePath(const std::string& port) {
    if (port.find_first_of(kPathSeparators) != std::string::npos) return port;
    return kDeviceDirectory + port;
}
