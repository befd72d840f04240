#include "register/output.h"

#include "register/first_error.h"
#include "register/pause.h"

std::uint8_t OutputByte = 0;

namespace {

void Change(PortHandle port, LineCode code, std::uint32_t* firstError) {
    KeepFirstError(SerialLine::ControlLine(port, code), firstError);
}

}  // namespace

std::uint8_t BitOfOutput(int output) {
    return static_cast<std::uint8_t>(0x80u >> (output - 1));
}

void SetOutput(int output) {
    OutputByte = static_cast<std::uint8_t>(OutputByte | BitOfOutput(output));
}

void ToggleOutput(int output) {
    OutputByte = static_cast<std::uint8_t>(OutputByte ^ BitOfOutput(output));
}

std::uint32_t TransmitByte(PortHandle port) {
    const std::uint8_t value = OutputByte;
    std::uint32_t firstError = 0;
    SerialLine::BeginFineTiming();
    for (int bit = 0; bit < 8; ++bit) {
        // The data line is TXD held in break; the register samples it when
        // the clock (DTR) rises.
        Change(port, (value >> bit) & 1 ? LineCode::SetBreak : LineCode::ClrBreak, &firstError);
        Change(port, LineCode::SetDtr, &firstError);
        PauseOneMillisecond();
        Change(port, LineCode::ClrDtr, &firstError);
        PauseOneMillisecond();
    }
    // The RTS rising edge copies the shift stages onto the outputs.
    Change(port, LineCode::SetRts, &firstError);
    PauseOneMillisecond();
    Change(port, LineCode::ClrRts, &firstError);
    SerialLine::EndFineTiming();
    return firstError;
}
