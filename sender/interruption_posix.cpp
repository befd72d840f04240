#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <initializer_list>

#include "sender/interruption.h"

namespace {

void Note(int signal) {
    InterruptingSignal = signal;
}

}  // namespace

// Without SA_RESTART a blocking read of standard input returns at once.
void CatchInterruptions() {
    struct sigaction action = {};
    action.sa_handler = Note;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

void InterruptionsHandled() {}

void MakeStandardStreamsValid() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0) open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
}
