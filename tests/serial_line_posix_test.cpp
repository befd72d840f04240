// The POSIX serial-line functions on a real pseudo-terminal: what a port
// left by another program looks like after we configure it, and the locks.
// (A pseudo-terminal has no modem lines; the end-to-end tests cover those.)
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "register/serial_line.h"
#include "tests/temporary_directory.h"

namespace {

// A pseudo-terminal whose far end stays open while the test runs.
struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty() {
        char name[64];
        openpty(&master, &slave, name, nullptr, nullptr);
        path = name;
    }
    ~Pty() {
        close(slave);
        close(master);
    }
};

TEST(WriteSettings, AnyEarlierSettingsBecomeRaw8N1WithoutFlowControl) {
    struct Row {
        const char* name;
        tcflag_t set, cleared;
        speed_t speed;
    } rows[] = {
        {"hardware flow control", CRTSCTS, 0, B9600},
        {"even parity", PARENB, 0, B9600},
        {"odd parity", PARENB | PARODD, 0, B9600},
        {"two stop bits", CSTOPB, 0, B9600},
        {"seven bits", CS7, CS8, B9600},
        {"another rate", 0, 0, B38400},
        {"carrier watched (CLOCAL cleared)", 0, CLOCAL, B9600},
        {"receiver off", 0, CREAD, B9600},
    };
    for (const Row& row : rows) {
        Pty pty;
        termios before;
        tcgetattr(pty.slave, &before);
        before.c_cflag = (before.c_cflag & ~row.cleared) | row.set;
        before.c_lflag |= ICANON | ECHO;
        cfsetspeed(&before, row.speed);
        tcsetattr(pty.slave, TCSANOW, &before);

        PortHandle port = -1;
        ASSERT_TRUE(SerialLine::Open(pty.path.c_str(), &port)) << row.name;
        CommSettings settings = {};
        settings.baudRate = 110;
        EXPECT_TRUE(SerialLine::ReadSettings(port, &settings)) << row.name;
        EXPECT_TRUE(SerialLine::WriteSettings(port, &settings)) << row.name;
        termios after;
        tcgetattr(port, &after);
        SerialLine::Close(port);
        EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << row.name;
        EXPECT_EQ(after.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u) << row.name;
        EXPECT_EQ(after.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD)) << row.name;
        EXPECT_EQ(after.c_lflag & (ICANON | ECHO), 0u) << row.name;
        EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B0)) << row.name;
    }
}

TEST(Open, NeverWaitsForCarrierAndHoldsThePortAlone) {
    Pty pty;
    PortHandle port = -1;
    ASSERT_TRUE(SerialLine::Open(pty.path.c_str(), &port));
    // O_NONBLOCK: the open of a modem port whose CLOCAL is clear returns at
    // once instead of waiting for carrier detect.
    EXPECT_TRUE(fcntl(port, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(port, F_GETFD) & FD_CLOEXEC);
    // Another program's descriptor, opened before the port is made
    // exclusive (after, only root could open it).
    const int other = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_TRUE(SerialLine::Lock(port));
    // Root passes TIOCEXCL, so the flag itself is read, not a second open.
    int exclusive = 0;
    ioctl(port, TIOCGEXCL, &exclusive);
    EXPECT_EQ(exclusive, 1) << "the port is not exclusive while held";
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << "the flock was not taken";
    SerialLine::Close(port);
    ioctl(other, TIOCGEXCL, &exclusive);
    EXPECT_EQ(exclusive, 0) << "the port was left exclusive";
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << "the flock was not released";
    close(other);
}

TEST(LockTurn, OneHolderAtATimeAndAnyAccountMayLock) {
    TemporaryDirectory directory;
    const std::string path = directory.path + "/octolatch-ttyUSB0.lock";
    PortHandle first = -1, second = -1;
    ASSERT_TRUE(SerialLine::LockTurn(path.c_str(), &first));
    struct stat made;
    stat(path.c_str(), &made);
    EXPECT_EQ(made.st_mode & 0777, 0644u) << "other accounts could not open the lock file";
    EXPECT_FALSE(SerialLine::LockTurn(path.c_str(), &second));
    EXPECT_EQ(SerialLine::KindOfError(SerialLine::LastError()), PortError::Busy);
    SerialLine::UnlockTurn(first);
    ASSERT_TRUE(SerialLine::LockTurn(path.c_str(), &second));
    SerialLine::UnlockTurn(second);
    chmod(path.c_str(), 0444);  // made by another account: it can still be locked
    ASSERT_TRUE(SerialLine::LockTurn(path.c_str(), &first));
    SerialLine::UnlockTurn(first);
}

// Sleep may wake later than asked, never much earlier.
TEST(Sleep, AsLongAsAskedAtLeast) {
    for (const std::int64_t microseconds : {200, 1000, 20000, 1500000}) {
        const std::int64_t before = SerialLine::Clock();
        SerialLine::Sleep(microseconds);
        const std::int64_t slept = (SerialLine::Clock() - before) / 1000;
        EXPECT_GE(slept, microseconds) << microseconds << " us";
    }
}

TEST(KindOfError, WhatEachErrorMeansToAUser) {
    const std::pair<int, PortError> rows[] = {
        {ENOENT, PortError::NotFound}, {ENXIO, PortError::NotFound}, {ENODEV, PortError::NotFound},
        {EBUSY, PortError::Busy}, {EWOULDBLOCK, PortError::Busy},
        {EACCES, PortError::Denied}, {EPERM, PortError::Denied},
        {ENOTTY, PortError::NotSerial}, {EISDIR, PortError::NotSerial},
        {EIO, PortError::Other}, {EINVAL, PortError::Other},
    };
    for (const auto& [code, kind] : rows)
        EXPECT_EQ(SerialLine::KindOfError(static_cast<std::uint32_t>(code)), kind) << std::strerror(code);
}

TEST(AccessGroup, OnlyAGroupThatMayReadAndWrite) {
    TemporaryDirectory directory;
    const std::string path = directory.path + "/device";
    Write(path, "");
    const group* own = getgrgid(getegid());
    ASSERT_NE(own, nullptr);
    const std::pair<mode_t, std::string> rows[] = {
        {0660, own->gr_name}, {0664, own->gr_name}, {0640, ""}, {0620, ""}, {0600, ""},
    };
    for (const auto& [mode, group] : rows) {
        chmod(path.c_str(), mode);
        EXPECT_EQ(SerialLine::AccessGroup(path.c_str()), group) << std::oct << mode;
    }
    EXPECT_EQ(SerialLine::AccessGroup((directory.path + "/missing").c_str()), "");
}

}  // namespace
