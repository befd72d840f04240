#include <windows.h>

#include "sender/interruption.h"

namespace {

HANDLE handled;  // set once everything is released

// Runs on a thread of its own. After CTRL_CLOSE_EVENT the system ends the
// process as soon as this returns (or after 5 seconds), so it waits for the
// main thread to finish the transmission under way and release the port.
BOOL WINAPI Note(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            InterruptingSignal = 2;  // as SIGINT
            return TRUE;
        case CTRL_CLOSE_EVENT:
            InterruptingSignal = 1;  // as SIGHUP
            WaitForSingleObject(handled, 4500);
            return TRUE;
    }
    return FALSE;
}

}  // namespace

void CatchInterruptions() {
    handled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(Note, TRUE);
}

void InterruptionsHandled() {
    if (handled) SetEvent(handled);
}

// Windows never hands a new file a standard stream's handle.
void MakeStandardStreamsValid() {}
