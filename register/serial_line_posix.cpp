// SerialLine on Linux: termios, the modem-line and break ioctls, flock.
// Every function is a call or two; logic belongs in the core.
#include "register/serial_line.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace SerialLine {

// Without O_NONBLOCK the open of a modem port waits for carrier detect.
bool Open(const char* path, PortHandle* port) {
    *port = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return *port >= 0;
}

// The flock is what cooperating serial tools check; TIOCEXCL makes the
// kernel refuse other opens (EBUSY), except to root.
bool Lock(PortHandle port) {
    return flock(port, LOCK_EX | LOCK_NB) == 0 && ioctl(port, TIOCEXCL) == 0;
}

// Opened for reading only, so that any account can lock a file another
// made. In a sticky, world-writable directory such as /run/lock an O_CREAT
// open of another account's file is refused (fs.protected_regular), so the
// file is made only where it is missing.
bool LockTurn(const char* path, PortHandle* turn) {
    *turn = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (*turn < 0 && errno == ENOENT) {
        *turn = open(path, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
        if (*turn >= 0) fchmod(*turn, 0644);
        if (*turn < 0 && errno == EEXIST) *turn = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    }
    if (*turn < 0) return false;
    if (flock(*turn, LOCK_EX | LOCK_NB) == 0) return true;
    const int error = errno;
    close(*turn);
    errno = error;
    return false;
}

void UnlockTurn(PortHandle turn) {
    close(turn);
}

// termios holds nothing the settings record keeps; reading it tells a
// terminal from any other file.
bool ReadSettings(PortHandle port, CommSettings*) {
    termios settings;
    return tcgetattr(port, &settings) == 0;
}

// Raw 8N1 at rate 0 (B0), whatever the record's rate: no data is sent, the
// lines and the break move by ioctl at any rate, and the kernel raises DTR
// and RTS at an open (and on leaving B0) only for a port whose saved rate
// is not 0, so the next open of a port left at B0 moves no line. Going to
// B0 lowers both lines. No hardware flow control, so RTS is ours alone.
bool WriteSettings(PortHandle port, const CommSettings*) {
    termios line;
    if (tcgetattr(port, &line) != 0) return false;
    cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    line.c_cflag &= ~(CSTOPB | CRTSCTS | PARODD);
    return cfsetspeed(&line, B0) == 0 && tcsetattr(port, TCSANOW, &line) == 0;
}

bool ControlLine(PortHandle port, LineCode code) {
    const int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    switch (code) {
        case LineCode::SetRts: return ioctl(port, TIOCMBIS, &rts) == 0;
        case LineCode::ClrRts: return ioctl(port, TIOCMBIC, &rts) == 0;
        case LineCode::SetDtr: return ioctl(port, TIOCMBIS, &dtr) == 0;
        case LineCode::ClrDtr: return ioctl(port, TIOCMBIC, &dtr) == 0;
        case LineCode::SetBreak: return ioctl(port, TIOCSBRK) == 0;
        case LineCode::ClrBreak: return ioctl(port, TIOCCBRK) == 0;
    }
    return false;
}

// The exclusive flag outlives this open while another end keeps the tty
// (a pseudo-terminal's master), so it is cleared before closing.
void Close(PortHandle port) {
    ioctl(port, TIOCNXCL);
    close(port);
}

// The kernel hangs up a tty whose device is gone.
bool StillThere(PortHandle port) {
    pollfd watched = {port, POLLIN, 0};
    return poll(&watched, 1, 0) >= 0 && !(watched.revents & (POLLHUP | POLLERR | POLLNVAL));
}

std::int64_t Clock() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

std::int64_t ClockTicksPerSecond() {
    return 1000000000;
}

void Sleep(std::int64_t microseconds) {
    const timespec length = {static_cast<time_t>(microseconds / 1000000),
                             static_cast<long>(microseconds % 1000000 * 1000)};
    nanosleep(&length, nullptr);
}

// A real-time thread wakes sooner and more reliably, and has no timer
// slack; where the system does not allow it, the pause copes without.
void BeginFineTiming() {
    prctl(PR_SET_TIMERSLACK, 1UL);
    const sched_param realTime = {1};
    sched_setscheduler(0, SCHED_FIFO, &realTime);
}

void EndFineTiming() {
    const sched_param normal = {0};
    sched_setscheduler(0, SCHED_OTHER, &normal);
}

void GiveWay() {
    sched_yield();
}

std::uint32_t LastError() {
    return static_cast<std::uint32_t>(errno);
}

// ENXIO and ENODEV: a device node with no device behind it. ENOTTY: the
// terminal calls on something else (/dev/null, a regular file).
PortError KindOfError(std::uint32_t code) {
    switch (code) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return PortError::NotFound;
        case EBUSY:
        case EWOULDBLOCK:
            return PortError::Busy;
        case EACCES:
        case EPERM:
            return PortError::Denied;
        case ENOTTY:
        case EISDIR:
            return PortError::NotSerial;
    }
    return PortError::Other;
}

std::string ErrorText(std::uint32_t code) {
    return std::strerror(static_cast<int>(code));
}

std::string AccessGroup(const char* path) {
    struct stat device;
    if (stat(path, &device) != 0 || (device.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return "";
    const group* owner = getgrgid(device.st_gid);
    return owner ? owner->gr_name : "";
}

}  // namespace SerialLine
