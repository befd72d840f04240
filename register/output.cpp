#include "register/output.h"

#include "register/transmission.h"

std::uint8_t OutputByte = 0;

std::uint8_t BitOfOutput(int output) {
    return static_cast<std::uint8_t>(BitOfOutput(output, 8));
}

void SetOutput(int output) {
    OutputByte = static_cast<std::uint8_t>(OutputByte | BitOfOutput(output));
}

void ToggleOutput(int output) {
    OutputByte = static_cast<std::uint8_t>(OutputByte ^ BitOfOutput(output));
}

std::uint32_t TransmitByte(PortHandle port) {
    return TransmitValue(port, OutputByte, 8, false);
}
