#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "sender/sending.h"
#include "tests/fake_serial_line.h"

namespace {

using Log = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kMillisecond = 1000000;  // the fake clock counts nanoseconds

// The bytes the register latched, replayed from the logged line changes.
Bytes Latched() {
    Bytes latched;
    int data = 0;
    std::uint8_t stages = 0;
    for (const std::string& line : Fake::log) {
        if (line.rfind("SETBREAK", 0) == 0) data = 1;
        if (line.rfind("CLRBREAK", 0) == 0) data = 0;
        if (line.rfind("SETDTR", 0) == 0) stages = static_cast<std::uint8_t>((stages >> 1) | (data << 7));
        if (line.rfind("SETRTS", 0) == 0) latched.push_back(stages);
    }
    return latched;
}

// When each transmission began (its first data line change) and ended (RTS lowered).
std::vector<std::pair<std::int64_t, std::int64_t>> Transmissions() {
    std::vector<std::pair<std::int64_t, std::int64_t>> spans;
    for (std::size_t i = 0; i < Fake::log.size(); ++i) {
        if (Fake::log[i] == "fine timing on") spans.push_back({Fake::logTimes[i + 1], 0});
        if (Fake::log[i].rfind("CLRRTS", 0) == 0 && !spans.empty()) spans.back().second = Fake::logTimes[i];
    }
    return spans;
}

std::FILE* Input(const std::string& text) {
    std::FILE* input = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), input);
    std::rewind(input);
    return input;
}

TEST(DevicePath, BareNamesAreDevices) {
    const std::pair<const char*, const char*> rows[] = {
        {"ttyUSB0", "/dev/ttyUSB0"}, {"/dev/ttyS0", "/dev/ttyS0"}, {"./pty", "./pty"},
        {"serial/by-id/usb-x", "serial/by-id/usb-x"}, {"COM3", "/dev/COM3"},
    };
    for (const auto& [port, path] : rows) EXPECT_EQ(DevicePath(port), path) << port;
}

TEST(OpenPortForSending, ExclusiveAndConfiguredOrClosedWithTheReason) {
    const Log configured = {"read #1 length 28", "write #1 at 110", "CLRDTR #1", "CLRRTS #1"};
    const auto join = [](Log first, const Log& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    };
    const Log opened = {"open /dev/ttyUSB0 -> #1", "lock #1"};
    struct Row {
        const char* name;
        std::uint32_t openError;  // 0: the open succeeds
        std::map<std::string, std::uint32_t> failing;
        const char* group;
        int exitCode;
        std::string message;
        Log log;
    } rows[] = {
        {"opens", 0, {}, "", kExitSent, "", join(opened, configured)},
        {"missing", ENOENT, {}, "", kExitFailed, "ttyUSB0: no such port", {"open /dev/ttyUSB0 fails"}},
        {"refused as busy", EBUSY, {}, "", kExitFailed,
         "ttyUSB0: port busy: another program is using it", {"open /dev/ttyUSB0 fails"}},
        {"locked by another program", 0, {{"lock #1", EBUSY}}, "", kExitFailed,
         "ttyUSB0: port busy: another program is using it", join(opened, {"close #1"})},
        {"no permission, a group may", EACCES, {}, "dialout", kExitFailed,
         "ttyUSB0: permission denied; members of the group 'dialout' may use it "
         "(sudo usermod -aG dialout $USER, then log in again)",
         {"open /dev/ttyUSB0 fails"}},
        {"no permission, no group", EACCES, {}, "", kExitFailed, "ttyUSB0: permission denied",
         {"open /dev/ttyUSB0 fails"}},
        {"not a terminal", 0, {{"lock #1", ENOTTY}}, "", kExitFailed, "ttyUSB0: not a serial port",
         join(opened, {"close #1"})},
        {"settings refused", 0, {{"write #1 at 110", EINVAL}, {"write #1 at 9600", EINVAL}}, "",
         kExitFailed, "ttyUSB0: cannot configure it: system text for " + std::to_string(EINVAL),
         join(join(opened, {"read #1 length 28", "write #1 at 110", "write #1 at 9600"}),
              {"CLRDTR #1", "CLRRTS #1", "close #1"})},
        {"lines refused", 0, {{"CLRDTR #1", EIO}}, "", kExitFailed,
         "ttyUSB0: cannot configure it: system text for " + std::to_string(EIO),
         join(join(opened, configured), {"close #1"})},
        {"open fails otherwise", EIO, {}, "", kExitFailed,
         "ttyUSB0: cannot open it: system text for " + std::to_string(EIO), {"open /dev/ttyUSB0 fails"}},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        if (row.openError) Fake::refusedOpens["/dev/ttyUSB0"] = row.openError;
        Fake::failingCalls = row.failing;
        Fake::accessGroup = row.group;
        PortHandle port = -1;
        const Outcome outcome = OpenPortForSending("ttyUSB0", &port);
        EXPECT_EQ(outcome.exitCode, row.exitCode) << row.name;
        EXPECT_EQ(outcome.message, row.message) << row.name;
        EXPECT_EQ(Fake::log, row.log) << row.name;
        if (row.exitCode == kExitSent) {
            EXPECT_EQ(port, Fake::Handle(1)) << row.name;
        }
    }
}

TEST(SendValues, InOrderAtLeastTheIntervalApartAndNoWaitAfterTheLast) {
    struct Row {
        Bytes values;
        std::int64_t intervalMs;
    } rows[] = {{{0xA1}, 0}, {{1, 2, 4, 8}, 0}, {{0xFF, 0x00, 0x81}, 250}};
    for (const Row& row : rows) {
        Fake::Reset();
        const Outcome outcome = SendValues(Fake::Handle(1), "ttyUSB0", row.values, row.intervalMs);
        const std::string name = testing::PrintToString(row.values);
        EXPECT_EQ(outcome.exitCode, kExitSent) << name;
        EXPECT_EQ(Latched(), row.values) << name;
        const auto spans = Transmissions();
        ASSERT_EQ(spans.size(), row.values.size()) << name;
        for (std::size_t i = 1; i < spans.size(); ++i) {
            EXPECT_GE(spans[i].first - spans[i - 1].second, row.intervalMs * kMillisecond) << name;
            EXPECT_LE(spans[i].first - spans[i - 1].second, row.intervalMs * kMillisecond + kMillisecond) << name;
        }
        EXPECT_LE(Fake::now - spans.back().second, kMillisecond / 10) << name << ": waited after the last";
    }
}

TEST(SendValues, StopsAtAFailedTransmission) {
    Fake::Reset();
    Fake::failingCalls = {{"SETRTS #1", EIO}};
    const Outcome outcome = SendValues(Fake::Handle(1), "ttyUSB0", {1, 2}, 0);
    EXPECT_EQ(outcome.exitCode, kExitFailed);
    EXPECT_EQ(outcome.message, "ttyUSB0: sending failed: system text for " + std::to_string(EIO));
    EXPECT_EQ(Latched(), Bytes{1}) << "the second value was sent after a failure";
}

TEST(SendInputLines, ValuesLineByLineUntilTheEndOrABadLine) {
    struct Row {
        const char* name;
        std::string input;
        Bytes latched;
        int exitCode;
        std::string message;
    } rows[] = {
        {"one per line", "1\n2\n0xFF\n", {1, 2, 255}, kExitSent, ""},
        {"no line end at the end", "1\n0b10000000", {1, 128}, kExitSent, ""},
        {"blanks, comments, Windows line ends", "# start\r\n\r\n  7\t\r\n\t\n  # 9\n8\n", {7, 8}, kExitSent, ""},
        {"empty input", "", {}, kExitSent, ""},
        {"a bad line ends the run", "1\n2\n\nthree\n4\n", {1, 2}, kExitBadInput,
         "line 4: bad value 'three': expected a byte, 0 to 255, as decimal (161), "
         "hexadecimal (0xA1) or eight binary digits, box 1 first (0b10100001)"},
        {"two values on a line", "5\n6 7\n", {5}, kExitBadInput,
         "line 2: bad value '6 7': expected a byte, 0 to 255, as decimal (161), "
         "hexadecimal (0xA1) or eight binary digits, box 1 first (0b10100001)"},
        {"a very long line", "3\n" + std::string(300, ' ') + "4\n5\n", {3}, kExitBadInput,
         "line 2: longer than 256 characters: '" + std::string(40, ' ') + "'..."},
        {"a zero byte", std::string("3\n4\0\n", 5), {3}, kExitBadInput,
         "line 2: bad value '4\\x00': expected a byte, 0 to 255, as decimal (161), "
         "hexadecimal (0xA1) or eight binary digits, box 1 first (0b10100001)"},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        std::FILE* input = Input(row.input);
        const Outcome outcome = SendInputLines(Fake::Handle(1), "ttyUSB0", input, 0);
        std::fclose(input);
        EXPECT_EQ(outcome.exitCode, row.exitCode) << row.name;
        EXPECT_EQ(outcome.message, row.message) << row.name;
        EXPECT_EQ(Latched(), row.latched) << row.name;
    }
}

TEST(SendInputLines, TheIntervalIsTheLeastSpacing) {
    Fake::Reset();
    std::FILE* input = Input("1\n2\n3\n");
    EXPECT_EQ(SendInputLines(Fake::Handle(1), "ttyUSB0", input, 40).exitCode, kExitSent);
    std::fclose(input);
    const auto spans = Transmissions();
    ASSERT_EQ(spans.size(), 3u);
    for (std::size_t i = 1; i < spans.size(); ++i)
        EXPECT_GE(spans[i].first - spans[i - 1].second, 40 * kMillisecond);
}

}  // namespace
