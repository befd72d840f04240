// The line sequence that clocks a value into a chain of shift registers.
#pragma once

#include <cstdint>

#include "board/output_bits.h"
#include "register/serial_line.h"

// Clocks all `outputs` bits of value in, least significant first, then
// strobes the latch: 3 x outputs + 2 line operations and 2 x outputs + 1
// pauses. With invert the data line carries the complement of each bit, for
// interfaces that invert every line: the register then shifts and latches
// on the other edges and its outputs show value itself. A failed line
// change does not stop the sequence; returns 0, or the error code of the
// first one that failed.
//
// Pacing::Alone is for a program that transmits and does little else: it
// takes real-time priority where the system allows and sleeps through most
// of each pause. Pacing::Shared is for a service whose other threads must
// not wait for its transmissions: no real-time priority, and pauses that
// sleep likewise and give way while they watch the clock
// (PauseOneMillisecondGivingWay).
enum class Pacing { Alone, Shared };
std::uint32_t TransmitValue(PortHandle port, std::uint64_t value, int outputs, bool invert,
                            Pacing pacing = Pacing::Alone);
