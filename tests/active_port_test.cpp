#include <gtest/gtest.h>

#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "ports/active_port.h"
#include "tests/fake_serial_line.h"

namespace {

using Log = std::vector<std::string>;

// The window's side of a switch, logged into the same list as the line calls
// so that their order can be checked.
void LogError(const wchar_t* text) {
    Fake::log.push_back("error box: " + Fake::Narrow(text));
}
void LogShow(const wchar_t* name) {
    Fake::log.push_back("select " + Fake::Narrow(name));
}
const PortSwitchUi kUi = {LogError, LogShow};

Log Configured(const std::string& handle) {
    return {"read " + handle + " length 28", "write " + handle + " at 110", "CLRDTR " + handle,
            "CLRRTS " + handle};
}

Log Join(Log first, const Log& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

TEST(FormatPortName, WritesComAndTheNumberInDecimal) {
    const std::pair<std::int32_t, const wchar_t*> rows[] = {
        {0, L"COM0"}, {7, L"COM7"}, {10, L"COM10"}, {256, L"COM256"}, {-7, L"COM-7"},
        {2147483647, L"COM2147483647"}, {-2147483647 - 1, L"COM-2147483648"},
    };
    for (const auto& [number, text] : rows) {
        wchar_t name[kPortNameSize];
        std::wmemset(name, L'#', kPortNameSize);
        FormatPortName(name, number);
        EXPECT_STREQ(name, text) << number;
    }
}

TEST(OpenFirstUsablePort, OpensTheFirstEntryThatOpens) {
    struct Row {
        const char* name;
        PortNumbers list;
        std::vector<const char*> refused;
        bool opens;
        const wchar_t* activeName;
        Log log;
    } rows[] = {
        {"first opens", {3, 5}, {}, true, L"COM3", {"open \\\\.\\COM3 -> #1"}},
        {"first busy", {3, 5}, {"\\\\.\\COM3"}, true, L"COM5",
         {"open \\\\.\\COM3 fails", "open \\\\.\\COM5 -> #1"}},
        {"above 9 through the device namespace", {12}, {}, true, L"COM12",
         {"open \\\\.\\COM12 -> #1"}},
        {"none opens", {3, 5}, {"\\\\.\\COM3", "\\\\.\\COM5"}, false, nullptr,
         {"open \\\\.\\COM3 fails", "open \\\\.\\COM5 fails"}},
        {"largest number", {-2147483647 - 1}, {}, true, L"COM-2147483648",
         {"open \\\\.\\COM-2147483648 -> #1"}},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        for (const char* path : row.refused) Fake::refusedOpens[path] = 5;
        EXPECT_EQ(OpenFirstUsablePort(row.list), row.opens) << row.name;
        EXPECT_EQ(Fake::log, row.log) << row.name;
        if (row.opens) {
            EXPECT_STREQ(ActivePort.name, row.activeName) << row.name;
            EXPECT_EQ(ActivePort.handle, Fake::Handle(1)) << row.name;
        }
    }
}

TEST(ConfigurePort, SetsTheRegisterSettingsKeepsTheRestAndLowersTheLines) {
    Fake::Reset();
    CommSettings read = {};
    read.length = 28;
    read.baudRate = 9600;
    read.flags = 0xFFFFFFFF;
    read.reserved = 1;
    read.xonLimit = 2048;
    read.xoffLimit = 512;
    read.byteSize = 7;
    read.parity = 2;
    read.stopBits = 2;
    read.xonChar = 0x11;
    read.xoffChar = 0x13;
    read.errorChar = '?';
    read.eofChar = 0x1A;
    read.eventChar = '\n';
    read.reserved1 = 3;
    Fake::settingsToRead = read;

    EXPECT_EQ(ConfigurePort(Fake::Handle(4)), 0u);

    EXPECT_EQ(Fake::log, Configured("#4"));
    const CommSettings& written = Fake::settingsWritten;
    EXPECT_EQ(written.baudRate, 110u);
    EXPECT_EQ(written.byteSize, 8);
    EXPECT_EQ(written.parity, 0);
    EXPECT_EQ(written.stopBits, 0);
    EXPECT_EQ(written.flags, 0xFFFFCFCFu) << "only the DTR and RTS control fields clear";
    EXPECT_EQ(written.length, read.length);
    EXPECT_EQ(written.reserved, read.reserved);
    EXPECT_EQ(written.xonLimit, read.xonLimit);
    EXPECT_EQ(written.xoffLimit, read.xoffLimit);
    EXPECT_EQ(written.xonChar, read.xonChar);
    EXPECT_EQ(written.xoffChar, read.xoffChar);
    EXPECT_EQ(written.errorChar, read.errorChar);
    EXPECT_EQ(written.eofChar, read.eofChar);
    EXPECT_EQ(written.eventChar, read.eventChar);
    EXPECT_EQ(written.reserved1, read.reserved1);
}

TEST(ConfigurePort, TakesEveryStepAndReportsTheFirstFailure) {
    struct Row {
        const char* name;
        std::map<std::string, std::uint32_t> failing;
        std::uint32_t error;
    } rows[] = {
        {"all succeed", {}, 0},
        {"the read fails", {{"read #2 length 28", 25}}, 25},
        {"a line fails", {{"CLRDTR #2", 5}, {"CLRRTS #2", 6}}, 5},
        {"the last line fails", {{"CLRRTS #2", 5}}, 5},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        Fake::failingCalls = row.failing;
        EXPECT_EQ(ConfigurePort(Fake::Handle(2)), row.error) << row.name;
        EXPECT_EQ(Fake::log, Configured("#2")) << row.name;
    }
}

// Adapters that refuse 110 baud get 9600 and, with it, the control modes.
TEST(ConfigurePort, FallsBackTo9600WhereTheAdapterRefuses110) {
    struct Row {
        const char* name;
        std::map<std::string, std::uint32_t> failing;
        std::vector<std::uint32_t> writes;  // the rates written, in order
        std::uint32_t error;
    } rows[] = {
        {"110 accepted", {}, {110}, 0},
        {"110 refused", {{"write #1 at 110", 22}}, {110, 9600}, 0},
        {"both refused", {{"write #1 at 110", 22}, {"write #1 at 9600", 31}}, {110, 9600}, 31},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        Fake::settingsToRead.flags = 0xFFFFFFFF;
        Fake::failingCalls = row.failing;
        EXPECT_EQ(ConfigurePort(Fake::Handle(1)), row.error) << row.name;
        Log expected = {"read #1 length 28"};
        for (const std::uint32_t rate : row.writes) expected.push_back("write #1 at " + std::to_string(rate));
        expected.insert(expected.end(), {"CLRDTR #1", "CLRRTS #1"});
        EXPECT_EQ(Fake::log, expected) << row.name;
        EXPECT_EQ(Fake::settingsWritten.flags, 0xFFFFCFCFu) << row.name << ": control modes";
        EXPECT_EQ(Fake::settingsWritten.byteSize, 8) << row.name;
    }
}

TEST(SwitchPort, EveryBranchInItsOrder) {
    struct Row {
        const char* name;
        const wchar_t* selected;
        std::uint32_t openError;  // 0: the open succeeds
        Log log;
        const wchar_t* activeAfter;
        int handleAfter;
    } rows[] = {
        {"the active port again", L"COM3", 0, {}, L"COM3", 1},
        {"another port", L"COM5", 0,
         Join({"open \\\\.\\COM5 -> #2", "close #1", "select COM5"}, Configured("#2")),
         L"COM5", 2},
        {"a port above 9", L"COM12", 0,
         Join({"open \\\\.\\COM12 -> #2", "close #1", "select COM12"}, Configured("#2")),
         L"COM12", 2},
        {"names compare case-sensitively", L"com3", 0,
         Join({"open \\\\.\\com3 -> #2", "close #1", "select com3"}, Configured("#2")),
         L"com3", 2},
        {"missing port", L"COM5", 2,
         Join({"open \\\\.\\COM5 fails", "error box: Port not found", "select COM3"},
              Configured("#1")),
         L"COM3", 1},
        {"busy port", L"COM5", 5,
         Join({"open \\\\.\\COM5 fails", "error box: Port unreachable", "select COM3"},
              Configured("#1")),
         L"COM3", 1},
        {"any other failure", L"COM5", 1167,
         Join({"open \\\\.\\COM5 fails", "error box: Port unreachable", "select COM3"},
              Configured("#1")),
         L"COM3", 1},
        {"a text too long for a port name", L"COM123456789012345", 0,
         Join({"error box: Port not found", "select COM3"}, Configured("#1")), L"COM3", 1},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        ASSERT_TRUE(OpenFirstUsablePort({3}));
        Fake::log.clear();
        if (row.openError != 0)
            Fake::refusedOpens["\\\\.\\" + Fake::Narrow(row.selected)] = row.openError;

        SwitchPort(row.selected, kUi);

        EXPECT_EQ(Fake::log, row.log) << row.name;
        EXPECT_STREQ(ActivePort.name, row.activeAfter) << row.name;
        EXPECT_EQ(ActivePort.handle, Fake::Handle(row.handleAfter)) << row.name;
    }
}

TEST(CloseActivePort, ClosesTheHandleInUse) {
    Fake::Reset();
    ASSERT_TRUE(OpenFirstUsablePort({7}));
    CloseActivePort();
    EXPECT_EQ(Fake::log, (Log{"open \\\\.\\COM7 -> #1", "close #1"}));
}

}  // namespace
