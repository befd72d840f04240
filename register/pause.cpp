#include "register/pause.h"

#include <algorithm>

#include "register/serial_line.h"

namespace {

// How late this machine's sleeps wake, in clock ticks; -1 until the first
// pause. A wake-up later than it raises it at once (to a millisecond at
// most); one in time lowers it by a sixteenth of the difference; a pause
// that did not sleep lowers it by a 256th, so that sleeping is tried again.
thread_local std::int64_t lateness = -1;

std::int64_t Microseconds(std::int64_t ticks) {
    return ticks * 1000000 / SerialLine::ClockTicksPerSecond();
}

// Sleeping a whole millisecond would overshoot it by the wake-up latency,
// so the pause sleeps for the millisecond less the lateness seen lately and
// finishes by watching the clock. Where sleeps are coarse (under Wine every
// wait lasts over a millisecond) the lateness stays past the point where a
// sleep is worth it, and the pause mostly watches the clock alone. With
// giveWay, every look at the clock lets any other thread ready to run go
// first.
void Pause(bool giveWay) {
    const std::int64_t perSecond = SerialLine::ClockTicksPerSecond();
    const std::int64_t millisecond = (perSecond + 999) / 1000;
    const std::int64_t start = SerialLine::Clock();
    const std::int64_t end = start + millisecond;
    if (lateness < 0) lateness = millisecond / 10;

    const std::int64_t sleep = millisecond - lateness;
    if (sleep >= millisecond / 4) {
        SerialLine::Sleep(Microseconds(sleep));
        const std::int64_t late = SerialLine::Clock() - (start + sleep);
        if (late > lateness)
            lateness = std::min(late, millisecond);
        else
            lateness -= (lateness - late) / 16;
    } else {
        lateness -= std::max<std::int64_t>(1, lateness / 256);
    }

    while (SerialLine::Clock() < end) {
        if (giveWay) SerialLine::GiveWay();
    }
}

}  // namespace

void PauseOneMillisecond() {
    Pause(false);
}

void PauseOneMillisecondGivingWay() {
    Pause(true);
}

// A sleep may end early (Windows documents up to a tick early for Sleep), so
// the clock, not the sleep, says when the moment has come.
bool WaitUntil(std::int64_t until, bool (*stop)()) {
    const std::int64_t longestSleep = SerialLine::ClockTicksPerSecond() / 10;
    for (std::int64_t left = until - SerialLine::Clock(); left > 0;
         left = until - SerialLine::Clock()) {
        if (stop && stop()) return false;
        SerialLine::Sleep(Microseconds(left < longestSleep ? left : longestSleep));
    }
    return true;
}
