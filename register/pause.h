// The pause between line changes, and waiting for a moment on the clock.
#pragma once

#include <cstdint>

// At least one millisecond, measured on the platform's clock, and as little
// more as the machine allows. What it learns of the machine's sleeps is
// kept per thread, so that boards sending at once do not disturb each other.
void PauseOneMillisecond();

// The same for a thread that shares the processor with work that must not
// wait (a service's front door): while it watches the clock, it gives way
// to any other thread ready to run at every look.
void PauseOneMillisecondGivingWay();

// Returns true once the platform's clock has reached `until` (in its ticks),
// or false as soon as stop (when given) returns true; stop is asked at
// least every tenth of a second.
bool WaitUntil(std::int64_t until, bool (*stop)() = nullptr);
