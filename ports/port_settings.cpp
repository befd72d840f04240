#include "ports/port_settings.h"

#include "register/first_error.h"

std::uint32_t ConfigurePort(PortHandle port) {
    // Every step runs even after one failed; the first failure is reported.
    std::uint32_t firstError = 0;
    // Only the length is set before reading: if the read fails the record
    // still holds zeros rather than stack garbage.
    CommSettings settings = {};
    settings.length = sizeof(CommSettings);
    KeepFirstError(SerialLine::ReadSettings(port, &settings), &firstError);
    settings.flags &= 0xFFFFCFCFu;  // DTR and RTS control disabled: we move them
    settings.baudRate = 110;
    settings.byteSize = 8;
    settings.parity = 0;    // no parity
    settings.stopBits = 0;  // one stop bit
    KeepFirstError(SerialLine::WriteSettings(port, &settings), &firstError);
    KeepFirstError(SerialLine::ControlLine(port, LineCode::ClrDtr), &firstError);
    KeepFirstError(SerialLine::ControlLine(port, LineCode::ClrRts), &firstError);
    return firstError;
}
