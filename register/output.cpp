#include "register/output.h"

std::uint8_t OutputByte = 0;

std::uint8_t BitOfOutput(int output) {
    return static_cast<std::uint8_t>(0x80u >> (output - 1));
}

void SetOutput(int output) {
    OutputByte = static_cast<std::uint8_t>(OutputByte | BitOfOutput(output));
}

void ToggleOutput(int output) {
    OutputByte = static_cast<std::uint8_t>(OutputByte ^ BitOfOutput(output));
}

void TransmitByte(PortHandle port) {
    const std::uint8_t value = OutputByte;
    SerialLine::BeginFineTiming();
    for (int bit = 0; bit < 8; ++bit) {
        // The data line is TXD held in break; the register samples it when
        // the clock (DTR) rises.
        SerialLine::ControlLine(port, (value >> bit) & 1 ? LineCode::SetBreak : LineCode::ClrBreak);
        SerialLine::ControlLine(port, LineCode::SetDtr);
        SerialLine::Pause();
        SerialLine::ControlLine(port, LineCode::ClrDtr);
        SerialLine::Pause();
    }
    // The RTS rising edge copies the shift stages onto the outputs.
    SerialLine::ControlLine(port, LineCode::SetRts);
    SerialLine::Pause();
    SerialLine::ControlLine(port, LineCode::ClrRts);
    SerialLine::EndFineTiming();
}
