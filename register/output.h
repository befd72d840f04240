// The window's 8-bit value, shown by its eight output boxes.
#pragma once

#include <cstdint>

#include "register/serial_line.h"

// Output k (1 to 8) owns bit 0x80 >> (k - 1): output 1 is the most
// significant bit and is shifted in last.
extern std::uint8_t OutputByte;

std::uint8_t BitOfOutput(int output);
void SetOutput(int output);
void ToggleOutput(int output);

// Clocks OutputByte into a single register: 26 line operations and 17
// pauses. Returns 0, or the error code of the first line change that failed.
std::uint32_t TransmitByte(PortHandle port);
