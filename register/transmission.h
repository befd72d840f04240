// The line sequence that clocks a value into a chain of shift registers.
#pragma once

#include <cstdint>

#include "register/serial_line.h"

// The most outputs a chain may have: eight registers of eight.
constexpr int kMostOutputs = 64;

// Output k (1 to outputs) owns bit 1 << (outputs - k): output 1 is the most
// significant bit and is shifted in last, so it ends in the first register's
// QA and the farthest register's QH takes the least significant bit.
std::uint64_t BitOfOutput(int output, int outputs);

// Every bit of value that an output of the chain owns.
std::uint64_t AllOutputs(int outputs);

// Clocks all `outputs` bits of value in, least significant first, then
// strobes the latch: 3 x outputs + 2 line operations and 2 x outputs + 1
// pauses. With invert the data line carries the complement of each bit, for
// interfaces that invert every line: the register then shifts and latches
// on the other edges and its outputs show value itself. A failed line
// change does not stop the sequence; returns 0, or the error code of the
// first one that failed.
std::uint32_t TransmitValue(PortHandle port, std::uint64_t value, int outputs, bool invert);
