#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "board/record.h"
#include "sender/interruption.h"
#include "sender/sending.h"
#include "tests/fake_serial_line.h"
#include "tests/temporary_directory.h"

namespace {

using Log = std::vector<std::string>;
using Values = std::vector<std::uint64_t>;

constexpr std::int64_t kMillisecond = 1000000;  // the fake clock counts nanoseconds
const char kPort[] = "ttyFAKE0";
const char kTurn[] = "/run/lock/octolatch-ttyFAKE0.lock";


// When each transmission began (its first data line change) and ended (RTS lowered).
std::vector<std::pair<std::int64_t, std::int64_t>> Transmissions() {
    std::vector<std::pair<std::int64_t, std::int64_t>> spans;
    for (std::size_t i = 0; i < Fake::log.size(); ++i) {
        if (Fake::log[i] == "fine timing on") spans.push_back({Fake::logTimes[i + 1], 0});
        if (Fake::log[i].rfind("CLRRTS", 0) == 0 && !spans.empty()) spans.back().second = Fake::logTimes[i];
    }
    return spans;
}

bool Opened() {
    for (const std::string& line : Fake::log)
        if (line.rfind("open ", 0) == 0) return true;
    return false;
}

std::FILE* Input(const std::string& text) {
    std::FILE* input = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), input);
    std::rewind(input);
    return input;
}

// A sender's command on kPort, its record in a directory of its own.
struct Sender {
    TemporaryDirectory directory;
    Command command;

    explicit Sender(std::vector<std::string> items = {}) {
        Fake::Reset();
        InterruptingSignal = 0;
        command.port = kPort;
        command.items = std::move(items);
        command.statePath = Record();
        command.configPath = directory.path + "/octolatchd.toml";  // none unless a test writes it
    }
    std::string Record() const { return directory.path + "/ttyFAKE0.state"; }
    Outcome Send(const std::string& input = "") {
        std::FILE* file = Input(input);
        const Outcome outcome = SendCommand(command, file);
        std::fclose(file);
        return outcome;
    }
};

std::string RecordOf(std::uint64_t value, int outputs, bool invert) {
    return FormatRecord({value, outputs, invert, {}});
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
        if (row.group[0]) Fake::accessGroups["/dev/ttyUSB0"] = row.group;
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

// The whole run: the turn, the port, the transmissions, the port closed
// with TXD idle, the turn given back.
TEST(SendCommand, TakesItsTurnOpensSendsAndReleasesEverything) {
    struct Row {
        std::vector<std::string> items;
        bool breakLeftOn;  // the last data bit went out as a break
    } rows[] = {{{"0x01"}, false}, {{"0x80"}, true}, {{"0x80", "0x00"}, false}};
    for (const Row& row : rows) {
        Sender sender(row.items);
        EXPECT_EQ(sender.Send().exitCode, kExitSent);
        const Log begin = {std::string("turn ") + kTurn + " -> #99", "open /dev/ttyFAKE0 -> #1", "lock #1"};
        ASSERT_GE(Fake::log.size(), 10u);
        EXPECT_EQ(Log(Fake::log.begin(), Fake::log.begin() + 3), begin);
        Log end = {"CLRRTS #1", "fine timing off", "close #1", "end of turn #99"};
        if (row.breakLeftOn) end.insert(end.begin() + 2, "CLRBREAK #1");
        EXPECT_EQ(Log(Fake::log.end() - static_cast<long>(end.size()), Fake::log.end()), end)
            << testing::PrintToString(row.items);
    }
}

TEST(SendCommand, ValuesInOrderAtLeastTheIntervalApartAndNoWaitBeforeTheFirstOrAfterTheLast) {
    struct Row {
        std::vector<std::string> items;
        Values values;
        std::int64_t intervalMs;
    } rows[] = {
        {{"0xA1"}, {0xA1}, 0},
        {{"1", "2", "4", "8"}, {1, 2, 4, 8}, 0},
        {{"0xFF", "0x00", "0b10000001"}, {0xFF, 0x00, 0x81}, 250},
        {{"1", "2"}, {1, 2}, 1000},
    };
    for (const Row& row : rows) {
        Sender sender(row.items);
        sender.command.intervalMs = row.intervalMs;
        const std::int64_t start = Fake::now;
        const Outcome outcome = sender.Send();
        const std::string name = testing::PrintToString(row.items);
        EXPECT_EQ(outcome.exitCode, kExitSent) << name;
        EXPECT_EQ(Fake::Latched(), row.values) << name;
        const auto spans = Transmissions();
        ASSERT_EQ(spans.size(), row.values.size()) << name;
        EXPECT_LE(spans[0].first - start, kMillisecond) << name << ": the first value waited";
        for (std::size_t i = 1; i < spans.size(); ++i) {
            EXPECT_GE(spans[i].first - spans[i - 1].second, row.intervalMs * kMillisecond) << name;
            EXPECT_LE(spans[i].first - spans[i - 1].second, row.intervalMs * kMillisecond + kMillisecond) << name;
        }
        EXPECT_LE(Fake::now - spans.back().second, kMillisecond / 10) << name << ": waited after the last";
        EXPECT_EQ(Contents(sender.Record()), RecordOf(row.values.back(), 8, false)) << name;
    }
}

TEST(SendCommand, StopsAtAFailedTransmission) {
    Sender sender({"1", "2"});
    Fake::failingCalls = {{"SETRTS #1", EIO}};
    const Outcome outcome = sender.Send();
    EXPECT_EQ(outcome.exitCode, kExitFailed);
    EXPECT_EQ(outcome.message, "ttyFAKE0: sending failed: system text for " + std::to_string(EIO));
    EXPECT_EQ(Fake::Latched(), Values{1}) << "the second value was sent after a failure";
}

// Each row starts from a record (or none), sends its items, and checks what
// was latched, the record afterwards, and the outcome.
struct StateRow {
    const char* name;
    const char* recordBefore;  // nullptr: no record yet
    std::vector<std::string> items;
    int outputs;  // --outputs, 0 when not given
    int invert;   // --invert 1, --no-invert 0, -1 when not given
    Values latched;
    std::string recordAfter;  // "": the record is as it was
    int exitCode;
    std::string message;  // the start of it
    int latchOutputs = 8;
    bool latchInverted = false;
};

void CheckStateRows(const std::vector<StateRow>& rows) {
    for (const StateRow& row : rows) {
        Sender sender(row.items);
        sender.command.outputs = row.outputs;
        sender.command.invert = row.invert;
        if (row.recordBefore) Write(sender.Record(), row.recordBefore);
        const Outcome outcome = sender.Send();
        EXPECT_EQ(outcome.exitCode, row.exitCode) << row.name;
        EXPECT_EQ(outcome.message.substr(0, row.message.size()), row.message) << row.name << ": " << outcome.message;
        EXPECT_EQ(Fake::Latched(row.latchOutputs, row.latchInverted), row.latched) << row.name;
        const std::string expected = row.recordAfter.empty() ? (row.recordBefore ? row.recordBefore : "")
                                                             : row.recordAfter;
        EXPECT_EQ(Contents(sender.Record()), expected) << row.name;
        if (row.exitCode == kExitBadInput) {
            EXPECT_FALSE(Opened()) << row.name << ": the port was opened for a bad argument";
        }
    }
}

TEST(SendCommand, OutputChangesKeepTheOtherOutputsAndGoOutTogether) {
    const std::string r8 = RecordOf(0x04, 8, false);
    const std::string r16 = RecordOf(0x8001, 16, false);
    CheckStateRows({
        {"no record: all off before", nullptr, {"3=on"}, 0, -1, {0x20}, RecordOf(0x20, 8, false), 0, ""},
        {"adjacent changes latch once", r8.c_str(), {"3=on", "6=off", "8=on"}, 0, -1, {0x21},
         RecordOf(0x21, 8, false), 0, ""},
        {"a value between changes", r8.c_str(), {"3=on", "0x80", "8=on"}, 0, -1, {0x24, 0x80, 0x81},
         RecordOf(0x81, 8, false), 0, ""},
        {"all=toggle", r8.c_str(), {"all=toggle"}, 0, -1, {0xFB}, RecordOf(0xFB, 8, false), 0, ""},
        {"all=on then one off", r8.c_str(), {"all=on", "1=off"}, 0, -1, {0x7F}, RecordOf(0x7F, 8, false), 0, ""},
        {"16 outputs from the record", r16.c_str(), {"16=off", "2=on"}, 0, -1, {0xC000},
         RecordOf(0xC000, 16, false), 0, "", 16},
        {"--outputs as the record says", r16.c_str(), {"9=on"}, 16, -1, {0x8081},
         RecordOf(0x8081, 16, false), 0, "", 16},
        {"an output beyond the record's width", r8.c_str(), {"9=on"}, 0, -1, {}, "", 2,
         "output 9 in '9=on' is beyond the 8 outputs in force (see --outputs)"},
        {"an output beyond --outputs", nullptr, {"17=on"}, 16, -1, {}, "", 2,
         "output 17 in '17=on' is beyond the 16 outputs in force"},
        {"a value too wide", r8.c_str(), {"3=on", "0x1FF"}, 0, -1, {}, "", 2,
         "bad value '0x1FF': expected a value for 8 outputs, 0 to 255"},
        {"a binary value of the record's width", r16.c_str(), {"0b10100001"}, 0, -1, {}, "", 2,
         "bad value '0b10100001': a binary value for 16 outputs needs 16 digits"},
    });
}

TEST(SendCommand, WidthAndInversionAreRemembered) {
    const std::string r16 = RecordOf(0x8001, 16, false);
    const std::string inverted = RecordOf(0xA1, 8, true);
    CheckStateRows({
        {"--outputs differs: a change is refused", r16.c_str(), {"3=on"}, 8, -1, {}, "", 1,
         "ttyFAKE0: the record says 16 outputs, not inverted, the command 8 outputs, not inverted"},
        {"--invert differs: a change is refused", r16.c_str(), {"3=on"}, 0, 1, {}, "", 1,
         "ttyFAKE0: the record says 16 outputs, not inverted, the command 16 outputs, inverted"},
        {"--outputs differs: a whole value replaces the record", r16.c_str(), {"0xA1", "3=on"}, 8, -1,
         {0xA1, 0xA1}, RecordOf(0xA1, 8, false), 0, ""},
        {"--outputs 16 and a change from nothing", nullptr, {"16=on"}, 16, -1, {0x0001},
         RecordOf(0x0001, 16, false), 0, "", 16},
        {"--invert and a pulse from nothing", nullptr, {"1=pulse:1ms"}, 0, 1, {0x80, 0x00},
         RecordOf(0x00, 8, true), 0, "", 8, true},
        {"--outputs 64 from nothing", nullptr, {"0x8000000000000001"}, 64, -1, {0x8000000000000001},
         RecordOf(0x8000000000000001, 64, false), 0, "", 64},
        {"inverted by the record: the complement goes out", inverted.c_str(), {"1=off"}, 0, -1, {0x21},
         RecordOf(0x21, 8, true), 0, "", 8, true},
        {"--invert from nothing", nullptr, {"0xA1"}, 0, 1, {0xA1}, RecordOf(0xA1, 8, true), 0, "", 8, true},
        {"--no-invert replaces an inverted record", inverted.c_str(), {"0xA1"}, 0, 0, {0xA1},
         RecordOf(0xA1, 8, false), 0, ""},
        {"a malformed record refuses a change", "value 0xZZ\n", {"3=on"}, 0, -1, {}, "", 1, "the record "},
        {"a malformed record is replaced by a whole value", "value 0xZZ\n", {"0x40", "3=on"}, 0, -1,
         {0x40, 0x60}, RecordOf(0x60, 8, false), 0, ""},
    });
}

TEST(SendCommand, NothingIsSentWhenTheRecordCannotBeWritten) {
    Sender sender({"3=on"});
    sender.command.statePath = sender.directory.path + "/no-such-directory/ttyFAKE0.state";
    const Outcome outcome = sender.Send();
    EXPECT_EQ(outcome.exitCode, kExitFailed);
    EXPECT_EQ(outcome.message.rfind("cannot record the state: " + sender.command.statePath + ": ", 0), 0u)
        << outcome.message;
    EXPECT_EQ(Fake::Latched(), Values{});
}

// The fake clock's record of when the outputs changed: (time, value).
std::vector<std::pair<std::int64_t, std::uint64_t>> LatchTimes() {
    std::vector<std::pair<std::int64_t, std::uint64_t>> times;
    const Values values = Fake::Latched();
    std::size_t next = 0;
    for (std::size_t i = 0; i < Fake::log.size(); ++i)
        if (Fake::log[i].rfind("SETRTS", 0) == 0) times.push_back({Fake::logTimes[i], values[next++]});
    return times;
}

TEST(SendCommand, APulseIsOnForItsDurationThenOff) {
    struct Row {
        const char* name;
        std::vector<std::string> items;
        const char* recordBefore;
        Values latched;
        std::int64_t onMs;  // the time between the on's latch and the off's
    } rows[] = {
        {"500 ms", {"3=pulse:500ms"}, nullptr, {0x20, 0x00}, 500},
        // On already: its time runs from the request, which its re-sent ON's 17 ms are part of.
        {"already on: still ends off", {"3=pulse:2s"}, "value 0x21\noutputs 8\ninvert no\n", {0x21, 0x01}, 1983},
        {"between changes, alone", {"1=on", "3=pulse:1s", "2=on"}, nullptr, {0x80, 0xA0, 0x80, 0xC0}, 1000},
    };
    for (const Row& row : rows) {
        Sender sender(row.items);
        sender.command.intervalMs = 100;
        if (row.recordBefore) Write(sender.Record(), row.recordBefore);
        EXPECT_EQ(sender.Send().exitCode, kExitSent) << row.name;
        EXPECT_EQ(Fake::Latched(), row.latched) << row.name;
        const auto times = LatchTimes();
        const std::size_t on = row.latched.size() == 2 ? 0 : 1;
        const std::int64_t held = times[on + 1].first - times[on].first;
        // The off's own transmission takes 17 ms before its latch.
        EXPECT_GE(held, (row.onMs + 17) * kMillisecond) << row.name;
        EXPECT_LE(held, (row.onMs + 20) * kMillisecond) << row.name << ": the interval was added";
        EXPECT_EQ(Contents(sender.Record()), RecordOf(row.latched.back(), 8, false)) << row.name;
    }
}

// With the service stopped, the board its configuration defines on the
// port keeps its rules: outputs 1 and 2 interlocked with a dead time,
// 4 and 5 without one, 3 off by itself after 2 s.
TEST(SendCommand, TheServicesBoardKeepsItsRules) {
    const char kBoard[] =
        "[[board]]\nname = \"blind\"\nport = \"/dev/ttyFAKE0\"\n[board.output.3]\nauto_off_ms = 2000\n"
        "[[board.interlock]]\noutputs = [1, 2]\ndead_time_ms = 500\n[[board.interlock]]\noutputs = [4, 5]\n";
    const std::string where = "ttyFAKE0 (board 'blind' in ";
    struct Row {
        const char* name;
        std::vector<std::string> items;
        const char* recordBefore;
        Values latched;
        std::string problem = "";   // the end of the message; exit 1 and nothing sent
        std::int64_t apartMs = 0;    // the least time between the last two latches
        const char* configuration = nullptr;  // another file than kBoard
        int outputs = 0;
    } rows[] = {
        {"a member's ON waits the dead time from the start", {"1=on"}, nullptr, {0x80}},
        {"reversing: the other off, the dead time, then on", {"2=on"}, "value 0x80\n", {0x00, 0x40}, "", 500 + 17},
        {"a whole value likewise", {"0x41"}, "value 0x80\n", {0x01, 0x41}, "", 500 + 17},
        {"no dead time: one transmission", {"5=on"}, "value 0x10\n", {0x08}},
        {"a pulse of an auto-off output, cut to its auto-off", {"3=pulse:5s"}, nullptr, {0x20, 0x00}, "", 2000 + 17},
        {"two members on in a value", {"0xC0"}, nullptr, {}, "outputs 1 and 2 are interlocked: at most one of them may be on"},
        {"two members on in one step", {"4=on", "5=on"}, nullptr, {}, "outputs 4 and 5 are interlocked: at most one of them may be on"},
        {"a plain ON of an auto-off output", {"3=on"}, nullptr, {}, "switch it on as a pulse, 3=pulse:2000ms"},
        {"a toggle that switches it on", {"1=on", "3=toggle"}, nullptr, {}, "switch it on as a pulse, 3=pulse:2000ms"},
        {"a value that switches it on", {"0x20"}, nullptr, {}, "switch it on as a pulse, 3=pulse:2000ms"},
        {"another width", {"1=on"}, nullptr, {}, "defines board 'blind' on it with 8 outputs, not inverted, the command says 16 outputs, not inverted", 0, nullptr, 16},
        {"a board on another port keeps none", {"0xC0"}, nullptr, {0xC0}, "", 0, "[[board]]\nname = \"b\"\nport = \"/dev/ttyFAKE1\"\n[[board.interlock]]\noutputs = [1, 2]\n"},
        {"a configuration that is not valid", {"1=on"}, nullptr, {}, ":2: unknown key 'colour' in [[board]]", 0, "[[board]]\ncolour = 1\n"},
    };
    for (const Row& row : rows) {
        Sender sender(row.items);
        sender.command.outputs = row.outputs;
        Write(sender.command.configPath, row.configuration ? row.configuration : kBoard);
        if (row.recordBefore) Write(sender.Record(), std::string(row.recordBefore) + "outputs 8\ninvert no\n");
        const Outcome outcome = sender.Send();
        EXPECT_EQ(outcome.exitCode, row.problem.empty() ? kExitSent : kExitFailed) << row.name;
        EXPECT_EQ(outcome.message.substr(outcome.message.size() - std::min(outcome.message.size(), row.problem.size())),
                  row.problem) << row.name << ": " << outcome.message;
        EXPECT_EQ(Fake::Latched(), row.latched) << row.name;
        if (!row.problem.empty()) {
            EXPECT_FALSE(Opened()) << row.name;
        }
        const auto times = LatchTimes();
        if (row.apartMs && times.size() >= 2) {
            EXPECT_GE(times.back().first - times[times.size() - 2].first, row.apartMs * kMillisecond) << row.name;
        }
    }
    // The dead time counts from the start: the sender cannot know when another program switched 2 off.
    Sender first({"1=on"});
    Write(first.command.configPath, kBoard);
    EXPECT_EQ(first.Send().exitCode, kExitSent);
    EXPECT_GE(LatchTimes().front().first, 500 * kMillisecond);

    Sender given({"1=on"});
    given.command.configGiven = true;
    EXPECT_EQ(given.Send().message, "cannot read the service's configuration " + given.command.configPath +
                                        ": No such file or directory");
    EXPECT_FALSE(Opened());
}

TEST(SendCommand, APulseWhoseOffFailsSaysTheOutputMayStillBeOn) {
    Sender sender({"3=pulse:1s"});
    int transmissions = 0;
    Fake::failingCalls.clear();
    EXPECT_EQ(sender.Send().exitCode, kExitSent);
    for (const std::string& line : Fake::log) transmissions += line == "SETRTS #1";
    ASSERT_EQ(transmissions, 2);

    Sender failing({"3=pulse:1s"});
    // The second transmission's strobe fails: the fake fails a call each
    // time it is made, so both strobes fail, and the first failure is told.
    Fake::failingCalls = {{"SETRTS #1", EIO}};
    const Outcome outcome = failing.Send();
    EXPECT_EQ(outcome.exitCode, kExitFailed);
    EXPECT_EQ(outcome.message,
              "ttyFAKE0: sending failed: system text for " + std::to_string(EIO) + "; output 3 may still be on");
}

// Interruptions arrive from the fake's sleeps: the n-th sleep notes one.
int sleepsBeforeInterruption = 0;
std::int64_t InterruptAtTheNthSleep(std::int64_t requested) {
    if (static_cast<int>(Fake::sleeps.size()) == sleepsBeforeInterruption) InterruptingSignal = 15;
    return requested;
}

TEST(SendCommand, AnInterruptionFinishesTheTransmissionUnderWayAndSwitchesAPulseOff) {
    struct Row {
        const char* name;
        std::vector<std::string> items;
        int sleeps;  // before the interruption
        Values latched;
    } rows[] = {
        {"in the only value", {"0x80"}, 5, {0x80}},
        {"in the first of three values", {"0x80", "0x40", "0x20"}, 5, {0x80}},
        {"in the second", {"0x80", "0x40", "0x20"}, 20, {0x80, 0x40}},
        {"in a pulse's wait", {"3=pulse:1h", "4=on"}, 20, {0x20, 0x00}},
        {"in a pulse's first transmission", {"3=pulse:1h"}, 3, {0x20, 0x00}},
    };
    for (const Row& row : rows) {
        Sender sender(row.items);
        sleepsBeforeInterruption = row.sleeps;
        Fake::sleepLength = InterruptAtTheNthSleep;
        const Outcome outcome = sender.Send();
        EXPECT_EQ(outcome.exitCode, 143) << row.name;
        EXPECT_EQ(outcome.message, "interrupted") << row.name;
        EXPECT_EQ(Fake::Latched(), row.latched) << row.name;
        EXPECT_EQ(Transmissions().size(), row.latched.size()) << row.name << ": a transmission was cut";
        EXPECT_LT(Fake::now, 3600LL * 1000 * kMillisecond) << row.name << ": the pulse ran its hour";
        EXPECT_EQ(Contents(sender.Record()), RecordOf(row.latched.back(), 8, false)) << row.name;
        EXPECT_EQ(Fake::log.back(), "end of turn #99") << row.name;
    }
    InterruptingSignal = 0;
}

TEST(SendCommand, ItemsFromStandardInputLineByLine) {
    struct Row {
        const char* name;
        std::string input;
        Values latched;
        int exitCode;
        std::string message;
    } rows[] = {
        {"one per line", "1\n2\n0xFF\n", {1, 2, 255}, kExitSent, ""},
        {"no line end at the end", "1\n0b10000000", {1, 128}, kExitSent, ""},
        {"several items share a line", "3=on 5=on\t8=on\n1=on\n", {0x29, 0xA9}, kExitSent, ""},
        {"nothing merges across lines", "3=on\n5=on\n", {0x20, 0x28}, kExitSent, ""},
        {"comments anywhere", "# start\r\n1=on # the pump\r\n  \t\r\n2=on#3=on\n", {0x80, 0xC0}, kExitSent, ""},
        {"a byte-order mark at the start", "\xEF\xBB\xBF" "0x42\n", {0x42}, kExitSent, ""},
        {"a byte-order mark elsewhere", "1\n\xEF\xBB\xBF" "2\n", {1}, kExitBadInput, "line 2: bad value '\\xEF\\xBB\\xBF2'"},
        {"empty input", "", {}, kExitSent, ""},
        {"a bad line ends the run", "1\n2\n\nthree\n4\n", {1, 2}, kExitBadInput,
         "line 4: bad value 'three': expected a whole value"},
        {"an output beyond the width", "1\n9=on\n", {1}, kExitBadInput,
         "line 2: output 9 in '9=on' is beyond the 8 outputs in force"},
        {"256 characters is the longest line", std::string(255, ' ') + "1\n", {1}, kExitSent, ""},
        {"257 are refused", "1\n" + std::string(256, ' ') + "1\n2\n", {1}, kExitBadInput,
         "line 2: longer than 256 characters: '" + std::string(40, ' ') + "'..."},
        {"a control character is quoted", "\x01\n", {}, kExitBadInput, "line 1: bad value '\\x01'"},
    };
    for (const Row& row : rows) {
        Sender sender;
        sender.command.fromInput = true;
        const Outcome outcome = sender.Send(row.input);
        EXPECT_EQ(outcome.exitCode, row.exitCode) << row.name;
        EXPECT_EQ(outcome.message.substr(0, row.message.size()), row.message) << row.name << ": " << outcome.message;
        EXPECT_EQ(Fake::Latched(), row.latched) << row.name;
    }
}

TEST(SendCommand, AFailureReadingStandardInputIsExit1WithItsReason) {
    Sender sender;
    sender.command.fromInput = true;
    std::FILE* directory = std::fopen(sender.directory.path.c_str(), "r");
    ASSERT_NE(directory, nullptr);
    const Outcome outcome = SendCommand(sender.command, directory);
    std::fclose(directory);
    EXPECT_EQ(outcome.exitCode, kExitFailed);
    EXPECT_EQ(outcome.message, "reading standard input: Is a directory");
}

TEST(SendCommand, WaitsItsTurnOrSaysTheOtherIsBusy) {
    struct Row {
        const char* name;
        std::uint32_t turnError;  // what LockTurn fails with, 0 for none
        std::int64_t waitSeconds;
        int exitCode;
        bool opened;
    } rows[] = {
        {"another has the turn, no wait", EBUSY, 0, kExitFailed, false},
        {"another keeps the turn for the whole wait", EBUSY, 2, kExitFailed, false},
        {"no lock directory: goes on without", EACCES, 10, kExitSent, true},
    };
    for (const Row& row : rows) {
        Sender sender({"1"});
        sender.command.waitSeconds = row.waitSeconds;
        Fake::refusedOpens[kTurn] = row.turnError;
        const std::int64_t start = Fake::now;
        const Outcome outcome = sender.Send();
        EXPECT_EQ(outcome.exitCode, row.exitCode) << row.name;
        EXPECT_EQ(Opened(), row.opened) << row.name;
        if (row.exitCode == kExitFailed) {
            EXPECT_EQ(outcome.message, "ttyFAKE0: port busy: another program is using it") << row.name;
            EXPECT_GE(Fake::now - start, row.waitSeconds * 1000 * kMillisecond) << row.name;
            EXPECT_LE(Fake::now - start, (row.waitSeconds * 1000 + 10) * kMillisecond) << row.name;
        }
    }
}

TEST(SendCommand, TakesTheTurnSoonAfterTheOtherGivesItUp) {
    for (const std::int64_t heldMs : {1, 300, 3000}) {
        Sender sender({"1"});
        Fake::turnFreeAt = Fake::now + heldMs * kMillisecond;
        EXPECT_EQ(sender.Send().exitCode, kExitSent) << heldMs;
        std::int64_t taken = -1;
        for (std::size_t i = 0; i < Fake::log.size(); ++i)
            if (Fake::log[i].find(" -> #99") != std::string::npos) taken = Fake::logTimes[i];
        EXPECT_GE(taken, Fake::turnFreeAt) << heldMs;
        EXPECT_LE(taken, Fake::turnFreeAt + 10 * kMillisecond) << heldMs << " ms: the turn was taken late";
    }
}

TEST(GetState, TheRecordedValueOrOneOutput) {
    const std::string r16 = RecordOf(0x8001, 16, false);
    struct Row {
        const char* name;
        const char* record;
        int output;
        int outputs;
        int exitCode;
        std::string said;  // standard output, or the start of the message
    } rows[] = {
        {"no record", nullptr, 0, 0, kExitSent, "0x00\n"},
        {"no record, 16 outputs given", nullptr, 0, 16, kExitSent, "0x0000\n"},
        {"the value", r16.c_str(), 0, 0, kExitSent, "0x8001\n"},
        {"output 1", r16.c_str(), 1, 0, kExitSent, "on\n"},
        {"output 2", r16.c_str(), 2, 0, kExitSent, "off\n"},
        {"output 16", r16.c_str(), 16, 16, kExitSent, "on\n"},
        {"beyond the width", r16.c_str(), 17, 0, kExitBadInput, "output 17 is beyond the 16 outputs in force"},
        {"another width given", r16.c_str(), 0, 8, kExitFailed, "ttyFAKE0: the record says 16 outputs"},
        {"malformed", "value 1\n", 0, 0, kExitFailed, "the record "},
    };
    for (const Row& row : rows) {
        Sender sender;
        sender.command.getOutput = row.output;
        sender.command.outputs = row.outputs;
        if (row.record) Write(sender.Record(), row.record);
        const Outcome outcome = GetState(sender.command);
        EXPECT_EQ(outcome.exitCode, row.exitCode) << row.name;
        const std::string& said = row.exitCode == kExitSent ? outcome.output : outcome.message;
        EXPECT_EQ(said.substr(0, row.said.size()), row.said) << row.name << ": " << said;
        EXPECT_EQ(Fake::log, Log{}) << row.name << ": --get touched the port";
    }
}

}  // namespace
