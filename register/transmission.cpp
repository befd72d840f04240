#include "register/transmission.h"

#include "register/first_error.h"
#include "register/pause.h"

namespace {

void Change(PortHandle port, LineCode code, std::uint32_t* firstError) {
    KeepFirstError(SerialLine::ControlLine(port, code), firstError);
}

}  // namespace

std::uint32_t TransmitValue(PortHandle port, std::uint64_t value, int outputs, bool invert, Pacing pacing) {
    const std::uint64_t sent = invert ? ~value : value;
    const bool alone = pacing == Pacing::Alone;
    void (*pause)() = alone ? PauseOneMillisecond : PauseOneMillisecondGivingWay;
    std::uint32_t firstError = 0;
    if (alone) SerialLine::BeginFineTiming();
    for (int bit = 0; bit < outputs; ++bit) {
        // The data line is TXD held in break; the register samples it when
        // the clock (DTR) rises.
        Change(port, (sent >> bit) & 1 ? LineCode::SetBreak : LineCode::ClrBreak, &firstError);
        Change(port, LineCode::SetDtr, &firstError);
        pause();
        Change(port, LineCode::ClrDtr, &firstError);
        pause();
    }
    // The RTS rising edge copies the shift stages onto the outputs.
    Change(port, LineCode::SetRts, &firstError);
    pause();
    Change(port, LineCode::ClrRts, &firstError);
    if (alone) SerialLine::EndFineTiming();
    return firstError;
}
