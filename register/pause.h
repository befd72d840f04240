// The pause between line changes, and waiting for a moment on the clock.
#pragma once

#include <cstdint>

// At least one millisecond, measured on the platform's clock, and as little
// more as the machine allows.
void PauseOneMillisecond();

// Returns once the platform's clock has reached `until` (in its ticks).
void WaitUntil(std::int64_t until);
