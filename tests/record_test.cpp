#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "board/record.h"
#include "board/state_files.h"
#include "ports/port_paths.h"
#include "tests/temporary_directory.h"

namespace fs = std::filesystem;

namespace {

TEST(Record, WrittenAndReadBack) {
    const BoardState rows[] = {
        {0xA1, 8, false, {}}, {0x0000, 16, true, {}}, {0x8000000000000001, 64, false, {}},
        {0x21, 8, false, {{3, 1718000000000}, {8, 1}}}, {0xFFFFFF, 24, true, {}},
    };
    TemporaryDirectory directory;
    const std::string path = directory.path + "/ttyUSB0.state";
    for (const BoardState& state : rows) {
        ASSERT_EQ(WriteRecord(path, state), "");
        BoardState read;
        std::string problem;
        EXPECT_EQ(ReadRecord(path, &read, &problem), RecordRead::Found) << problem;
        EXPECT_EQ(read.value, state.value);
        EXPECT_EQ(read.outputs, state.outputs);
        EXPECT_EQ(read.invert, state.invert);
        EXPECT_EQ(read.offAt, state.offAt) << "auto-off deadlines of " << std::hex << state.value;
        EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    }
    EXPECT_EQ(Contents(path), "# octolatch: the outputs last sent to this port\n"
                              "value 0xFFFFFF\noutputs 24\ninvert yes\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path), {}), 1) << "a temporary file was left";
}

TEST(Record, MissingMeansEightOutputsAllOff) {
    TemporaryDirectory directory;
    BoardState read{0xFF, 16, true, {}};
    std::string problem;
    EXPECT_EQ(ReadRecord(directory.path + "/none.state", &read, &problem), RecordRead::Missing);
    EXPECT_EQ(read.value, 0u);
    EXPECT_EQ(read.outputs, 8);
    EXPECT_FALSE(read.invert);
}

TEST(Record, MalformedIsAProblemThatNamesTheLine) {
    const std::pair<const char*, const char*> rows[] = {
        {"value 0xA1\noutputs 8\ninvert no\n", ""},
        {"invert no\r\n\r\n# comment\noutputs 16\nvalue 0x00A1\r\n", ""},
        {"", "incomplete"},
        {"value 0xA1\noutputs 8\n", "incomplete"},
        {"value 0xA1\noutputs 12\ninvert no\n", "line 2: bad output count '12'"},
        {"value 0x1FF\noutputs 8\ninvert no\n", "line 1: bad value '0x1FF' for 8 outputs"},
        {"value 0xA1\noutputs 8\ninvert maybe\n", "line 3: unexpected 'invert maybe'"},
        {"value 0xA1\nvalue 0xA2\noutputs 8\ninvert no\n", "line 2: unexpected 'value 0xA2'"},
        {"value 0xA1\noutputs 8\ninvert no\ncolour red\n", "line 4: unexpected 'colour red'"},
        {"value  0xA1\noutputs 8\ninvert no\n", "line 1: bad value ' 0xA1'"},
        {"\x7f\x45LF\x02\x01", "line 1: unexpected '\\x7FELF\\x02\\x01'"},
        {"value 0x21\noutputs 8\ninvert no\nauto_off 3 1718000000000\n", ""},
        {"value 0x21\noutputs 8\ninvert no\nauto_off 3\n", "line 4: bad auto_off '3'"},
        {"value 0x21\noutputs 8\ninvert no\nauto_off 9 5\n", "an auto_off for output 9, which is not on"},
        {"value 0x21\noutputs 8\ninvert no\nauto_off 2 5\n", "an auto_off for output 2, which is not on"},
        {"value 0x21\noutputs 8\ninvert no\nauto_off 3 5\nauto_off 3 6\n", "line 5: bad auto_off '3 6'"},
    };
    for (const auto& [text, problem] : rows) {
        BoardState state;
        EXPECT_EQ(ParseRecord(text, &state).substr(0, std::string(problem).size()), problem) << text;
    }
    TemporaryDirectory directory;
    const std::string path = directory.path + "/bad.state";
    Write(path, "value 0xA1\n");
    BoardState state;
    std::string problem;
    EXPECT_EQ(ReadRecord(path, &state, &problem), RecordRead::Failed);
    EXPECT_EQ(problem, "the record " + path + " is malformed: incomplete: it needs a value, outputs and invert "
                       "line (a whole VALUE replaces it; or remove the file)");
    Write(path, std::string(70000, '#'));
    EXPECT_EQ(ReadRecord(path, &state, &problem), RecordRead::Failed);
    EXPECT_NE(problem.find("larger than a record can be"), std::string::npos) << problem;
}

// The old record stays whole when the new one cannot be written.
TEST(Record, AFailedWriteLeavesTheOldRecord) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
    TemporaryDirectory directory;
    const std::string path = directory.path + "/ttyUSB0.state";
    ASSERT_EQ(WriteRecord(path, {0x42, 8, false, {}}), "");
    chmod(directory.path.c_str(), 0500);
    const std::string problem = WriteRecord(path, {0x43, 8, false, {}});
    EXPECT_EQ(problem, path + ": Permission denied");
    EXPECT_EQ(Contents(path).find("value 0x42"), 48u) << Contents(path);
}

// A write that runs out of room (here: past the file size limit, which
// fails the write as a full disk does) leaves the old record and no
// temporary file.
TEST(Record, AWriteThatRunsOutOfRoomLeavesTheOldRecord) {
    TemporaryDirectory directory;
    const std::string path = directory.path + "/full.state";
    ASSERT_EQ(WriteRecord(path, {0x42, 8, false, {}}), "");
    rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small = {20, limit.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const std::string problem = WriteRecord(path, {0x43, 8, false, {}});
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(problem, path + ": File too large");
    EXPECT_NE(Contents(path).find("value 0x42"), std::string::npos) << Contents(path);
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path), {}), 1) << "a temporary file was left";
}

TEST(FileNameOf, PathsWithoutDevAndEveryOtherCharacterEscaped) {
    const std::pair<const char*, const char*> rows[] = {
        {"/dev/ttyUSB0", "ttyUSB0"},
        {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
         "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
        {"/dev/pts/7", "pts%2F7"},
        {"/tmp/a b/port", "%2Ftmp%2Fa%20b%2Fport"},
        {"COM3", "COM3"},
        {"\\\\.\\COM12", "%5C%5C.%5CCOM12"},
    };
    for (const auto& [path, name] : rows) EXPECT_EQ(FileNameOf(path), name) << path;
    EXPECT_EQ(RecordFileName("/dev/ttyACM0"), "port-ttyACM0.state");
    EXPECT_EQ(RecordFileName("COM3"), "port-COM3.state") << "Windows takes COM3.state for the port";
}

// A made-up /dev: the state follows the adapter's by-id link wherever the
// kernel put it.
TEST(StablePortPath, TheByIdLinkWhereThereIsOne) {
    TemporaryDirectory root;
    fs::create_directories(root.path + "/dev/serial/by-id");
    for (const char* device : {"ttyUSB0", "ttyUSB1", "ttyS0"}) Write(root.path + "/dev/" + device, "");
    fs::create_symlink("../../ttyUSB1", root.path + "/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0");
    fs::create_symlink("ttyUSB1", root.path + "/dev/pump");
    const std::pair<std::string, std::string> rows[] = {
        {"/dev/ttyUSB1", "/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0"},
        {"ttyUSB1", "/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0"},
        {"/dev/pump", "/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"/dev/serial/by-id/usb-gone-port0", "/dev/serial/by-id/usb-gone-port0"},
    };
    for (const auto& [port, stable] : rows) EXPECT_EQ(StablePortPath(port, root.path), stable) << port;
}

// The service's directory, where it exists, keeps the turn locks from
// accounts outside dialout; without it the senders still take turns.
TEST(TurnLockPath, InTheServicesDirectoryWhereItExists) {
    TemporaryDirectory runtime;
    const std::pair<std::string, std::string> rows[] = {
        {runtime.path, runtime.path + "/ttyUSB7.lock"},
        {runtime.path + "/missing", "/run/lock/octolatch-ttyUSB7.lock"},
    };
    for (const auto& [directory, lock] : rows) {
        setenv("OCTOLATCH_RUNTIME_DIR", directory.c_str(), 1);
        EXPECT_EQ(TurnLockPath("/dev/ttyUSB7"), lock) << directory;
        EXPECT_EQ(ServiceSocketPath("/dev/ttyUSB7"), directory + "/ttyUSB7.socket") << directory;
    }
    unsetenv("OCTOLATCH_RUNTIME_DIR");
}

// A sender finds the system's service first, then one its own account runs
// by hand, which makes its sockets in the account's runtime directory.
TEST(ServiceSocketPath, TheSystemsServiceThenTheAccountsOwn) {
    TemporaryDirectory runtime;
    const std::string own = runtime.path + "/octolatch/ttyUSB7.socket";
    const std::string system = "/run/octolatch/ttyUSB7.socket";
    ASSERT_FALSE(std::filesystem::exists(system));
    setenv("XDG_RUNTIME_DIR", runtime.path.c_str(), 1);
    const struct {
        const char* story;
        bool ownSocket;
        std::string expected;
    } rows[] = {
        {"no service", false, system},
        {"a service run by hand", true, own},
    };
    for (const auto& row : rows) {
        if (row.ownSocket) std::filesystem::create_directories(runtime.path + "/octolatch"), Write(own, "");
        EXPECT_EQ(ServiceSocketPath("/dev/ttyUSB7"), row.expected) << row.story;
    }
    if (geteuid() != 0) unsetenv("XDG_RUNTIME_DIR");
    if (geteuid() != 0) GTEST_SKIP() << "the service's side needs root to become an ordinary account";
    // As the service, run by hand by an ordinary account.
    std::filesystem::remove_all(runtime.path + "/octolatch");
    ASSERT_EQ(chown(runtime.path.c_str(), 65534, 65534), 0);
    const pid_t child = fork();
    if (child == 0) {
        const bool ok = setgid(65534) == 0 && setuid(65534) == 0 && OwnServiceSocketPath("/dev/ttyUSB7") == own &&
                        std::filesystem::is_directory(runtime.path + "/octolatch");
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0) << "a service run by hand without root answers in " << own;
    EXPECT_EQ(OwnServiceSocketPath("/dev/ttyUSB7"), system) << "a service run by root";
    unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
