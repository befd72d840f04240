#include "register/pause.h"

#include <algorithm>

#include "register/serial_line.h"

namespace {

// How late this machine's sleeps wake, in clock ticks; -1 until the first
// pause. It jumps to any later wake-up and sinks by a thousandth at every
// pause, so that a bad spell passes in a few hundred pauses.
std::int64_t lateness = -1;

std::int64_t Microseconds(std::int64_t ticks) {
    return ticks * 1000000 / SerialLine::ClockTicksPerSecond();
}

}  // namespace

// Sleeping a whole millisecond would overshoot it by the wake-up latency,
// so the pause sleeps for the millisecond less the lateness seen lately and
// finishes by watching the clock. Where sleeps are coarse (under Wine every
// wait lasts over a millisecond) the lateness stays past the point where a
// sleep is worth it, and the pause mostly watches the clock alone.
void PauseOneMillisecond() {
    const std::int64_t perSecond = SerialLine::ClockTicksPerSecond();
    const std::int64_t millisecond = (perSecond + 999) / 1000;
    const std::int64_t start = SerialLine::Clock();
    const std::int64_t end = start + millisecond;
    if (lateness < 0) lateness = millisecond / 10;

    const std::int64_t sleep = millisecond - lateness;
    lateness -= std::min(lateness, std::max<std::int64_t>(1, lateness / 1024));
    if (sleep >= millisecond / 4) {
        SerialLine::Sleep(Microseconds(sleep));
        lateness = std::max(lateness, SerialLine::Clock() - (start + sleep));
    }

    while (SerialLine::Clock() < end) {
    }
}

void WaitUntil(std::int64_t until) {
    for (std::int64_t left = until - SerialLine::Clock(); left > 0;
         left = until - SerialLine::Clock())
        SerialLine::Sleep(Microseconds(left));
}
