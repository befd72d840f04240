// The 8-bit value shown by the eight output boxes, and the line sequence
// that clocks it into the shift register.
#pragma once

#include <cstdint>

#include "register/serial_line.h"

// Output k (1 to 8) owns bit 0x80 >> (k - 1): output 1 is the most
// significant bit and is shifted in last.
extern std::uint8_t OutputByte;

std::uint8_t BitOfOutput(int output);
void SetOutput(int output);
void ToggleOutput(int output);

// Clocks all eight bits of OutputByte into the register, least significant
// first, then strobes the latch: 26 line operations and 17 pauses. A failed
// line change does not stop the sequence; returns 0, or the error code of
// the first one that failed.
std::uint32_t TransmitByte(PortHandle port);
