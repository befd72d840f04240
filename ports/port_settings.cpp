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
    bool written = SerialLine::WriteSettings(port, &settings);
    if (!written) {
        // Some adapters refuse 110 baud (CP210x chips go no lower than 300,
        // the FT232R than about 183), and a refused write applies nothing,
        // not even the DTR and RTS control modes. No data is ever sent, so
        // any rate will do: 9600 is one that every adapter takes.
        settings.baudRate = 9600;
        written = SerialLine::WriteSettings(port, &settings);
    }
    KeepFirstError(written, &firstError);
    KeepFirstError(SerialLine::ControlLine(port, LineCode::ClrDtr), &firstError);
    KeepFirstError(SerialLine::ControlLine(port, LineCode::ClrRts), &firstError);
    return firstError;
}
