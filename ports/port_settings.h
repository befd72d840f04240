// The line settings the register needs, for the window and the sender alike.
#pragma once

#include <cstdint>

#include "register/serial_line.h"

// Gives the port 110 baud (9600 where the adapter refuses 110; on Linux the
// serial-line file keeps it at rate 0, see WriteSettings), 8N1 and DTR and
// RTS moved only by us, then lowers DTR and RTS. Returns 0, or the error code of the first step that failed
// (the window ignores it).
std::uint32_t ConfigurePort(PortHandle port);
