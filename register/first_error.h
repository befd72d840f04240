// Runs of calls that go on after a failure but report the first one.
#pragma once

#include <cstdint>

#include "register/serial_line.h"

// Keeps the error code of the first call that did not succeed.
inline void KeepFirstError(bool succeeded, std::uint32_t* firstError) {
    if (!succeeded && *firstError == 0) *firstError = SerialLine::LastError();
}
