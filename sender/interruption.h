// Ctrl+C, SIGTERM and SIGHUP (on Windows Ctrl+C, Ctrl+Break and the
// console closing) do not end the sender where it stands: they are noted,
// and the sender stops at the next point where the register, its lines and
// the record are whole.
#pragma once

#include <csignal>

// 0 until an interruption arrives, then its signal's number.
extern volatile std::sig_atomic_t InterruptingSignal;

inline bool Interrupted() {
    return InterruptingSignal != 0;
}

// Installs the handlers. Blocking reads and sleeps end early when one
// arrives, so that nothing waits long after it.
void CatchInterruptions();

// On Windows closing the console ends the process as soon as the handler
// returns; the handler waits for this call, made once everything is released.
void InterruptionsHandled();

// Descriptors 0, 1 and 2 that were closed are opened on the null device,
// before anything else is opened: otherwise the port could become standard
// input, and whatever the port received would be read as values.
void MakeStandardStreamsValid();
