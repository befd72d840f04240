// The service's writer against the recording fake serial line: what goes
// out at power-on, how changes merge, pulses, and an adapter that fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "board/record.h"
#include "service/board.h"
#include "service/record_keeper.h"
#include "tests/fake_serial_line.h"
#include "tests/temporary_directory.h"

namespace {

using namespace std::chrono_literals;
using Values = std::vector<std::uint64_t>;


BoardSettings Settings(int outputs = 8, bool invert = false, PowerOn policy = PowerOn::Last) {
    BoardSettings settings;
    settings.name = "kitchen";
    settings.port = "ttyFAKE1";
    settings.outputs = outputs;
    settings.invert = invert;
    settings.output.assign(static_cast<std::size_t>(outputs), OutputSettings{"", policy, 0});
    return settings;
}

void WaitUntil(const std::function<bool()>& condition, const char* what = "") {
    for (auto deadline = std::chrono::steady_clock::now() + 5s; !condition();) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "timed out: " << what;
        std::this_thread::sleep_for(1ms);
    }
}

// A board on the fake port, its record in a directory of its own; started
// once its power-on state has gone out.
struct Rig {
    TemporaryDirectory directory;
    RecordKeeper records;
    std::unique_ptr<Board> board;
    std::mutex mutex;
    std::vector<BoardEvent> events;

    // The writer publishes into events: it stops before they go, also
    // when a test ends early.
    ~Rig() {
        if (board) board->Stop();
    }

    std::string Record() const { return directory.path + "/kitchen.state"; }
    void Start(const BoardSettings& settings) {
        board = std::make_unique<Board>(settings, Record(), records, [this](const BoardEvent& event) {
            const std::lock_guard<std::mutex> lock(mutex);
            events.push_back(event);
        });
        board->Start();
        WaitUntil([this] { return Announced(); });
    }
    bool Announced() {
        const std::lock_guard<std::mutex> lock(mutex);
        return !events.empty() && events.back().available;
    }
};

TEST(Board, PowerOnIsOneTransmissionByPolicyAndRecord) {
    struct Row {
        const char* name;
        const char* record;  // nullptr: none
        int outputs;
        bool invert;
        std::vector<std::pair<int, PowerOn>> policies;  // by output; the rest "last"
        std::uint64_t sent;
    } rows[] = {
        {"no record", nullptr, 8, false, {}, 0x00},
        {"the last state", "value 0xA5\noutputs 8\ninvert no\n", 8, false, {}, 0xA5},
        {"on, off and last mixed", "value 0xA5\noutputs 8\ninvert no\n", 8, false,
         {{1, PowerOn::Off}, {2, PowerOn::On}}, 0x65},
        {"a record of another width is not used", "value 0xA5\noutputs 16\ninvert no\n", 8, false,
         {{8, PowerOn::On}}, 0x01},
        {"nor one of another inversion", "value 0xA5\noutputs 8\ninvert yes\n", 8, false, {}, 0x00},
        {"nor a malformed one", "value 0xA5\n", 8, false, {{3, PowerOn::On}}, 0x20},
        {"16 outputs, inverted", "value 0x8001\noutputs 16\ninvert yes\n", 16, true, {}, 0x8001},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        Rig rig;
        if (row.record) Write(rig.Record(), row.record);
        BoardSettings settings = Settings(row.outputs, row.invert);
        for (const auto& [output, policy] : row.policies)
            settings.output[static_cast<std::size_t>(output - 1)].powerOn = policy;
        rig.Start(settings);
        rig.board->Stop();
        EXPECT_EQ(Fake::Latched(row.outputs, row.invert), Values{row.sent}) << row.name;
        EXPECT_EQ(rig.board->Look().value, row.sent) << row.name;
    }
}

// Holds the writer inside the transmission that follows the first `after`
// latches, until the test moves it on, so that changes can arrive while a
// chosen transmission is on the wire. The writer's pauses sleep and give
// way to other threads, and the fake calls this for every sleep and turn.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    std::size_t after = 0;
    bool holding = false;
    std::size_t heldAfter = 0;          // the latches before the transmission held
    std::size_t seen = 0, latches = 0;  // of Fake::log, read by the writer alone
};
Gate gate;

std::int64_t HeldWhileGivingWay(std::int64_t requested) {
    std::unique_lock<std::mutex> lock(gate.mutex);
    for (; gate.seen < Fake::log.size(); ++gate.seen)
        if (Fake::log[gate.seen].rfind("SETRTS", 0) == 0) ++gate.latches;
    // Not in the pause after a latch: that transmission is ending.
    const bool latching = !Fake::log.empty() && Fake::log.back().rfind("SETRTS", 0) == 0;
    gate.holding = gate.armed && gate.latches == gate.after && !latching;
    gate.heldAfter = gate.latches;
    gate.changed.notify_all();
    gate.changed.wait(lock, [&] { return !gate.armed || gate.latches != gate.after || latching; });
    gate.holding = false;
    return requested;
}

void OpenGate() {
    {
        const std::lock_guard<std::mutex> lock(gate.mutex);
        gate.armed = false;
    }
    gate.changed.notify_all();
}

// Opens the gate when it goes, before the board it was armed after stops,
// so that a test that fails half-way does not leave its writer held.
struct ArmedGate {
    ~ArmedGate() { OpenGate(); }
};

// After Fake::Reset: holds the transmission after the first `latches`.
ArmedGate ArmGate(std::size_t latches) {
    {
        const std::lock_guard<std::mutex> lock(gate.mutex);
        gate.armed = true;
        gate.after = latches;
        gate.holding = false;
        gate.seen = gate.latches = 0;
    }
    Fake::sleepLength = HeldWhileGivingWay;
    return {};
}

bool WaitHeld() {
    std::unique_lock<std::mutex> lock(gate.mutex);
    return gate.changed.wait_for(lock, 5s, [] { return gate.holding && gate.heldAfter == gate.after; });
}

// Lets the transmission held end and holds the next one.
void HoldTheNext() {
    {
        const std::lock_guard<std::mutex> lock(gate.mutex);
        ++gate.after;
    }
    gate.changed.notify_all();
}

TEST(Board, ChangesThatArriveDuringATransmissionGoOutTogetherInTheNext) {
    Fake::Reset();
    Rig rig;
    rig.Start(Settings());
    const ArmedGate held = ArmGate(1);
    std::future<Answer> first = rig.board->SwitchOutput(1, Switch::On, "test");
    ASSERT_TRUE(WaitHeld());
    // The first transmission is on the wire: these wait for the next one.
    std::future<Answer> second = rig.board->SwitchOutput(2, Switch::On, "test");
    std::future<Answer> third = rig.board->SwitchOutput(1, Switch::Off, "test");
    std::future<Answer> fourth = rig.board->SetValue(0x0F, "test");
    std::future<Answer> fifth = rig.board->SwitchOutput(8, Switch::Toggle, "test");
    EXPECT_EQ(second.wait_for(50ms), std::future_status::timeout) << "answered before its transmission";
    OpenGate();
    const std::pair<std::future<Answer>*, std::uint64_t> answers[] = {
        {&first, 0x80}, {&second, 0x0E}, {&third, 0x0E}, {&fourth, 0x0E}, {&fifth, 0x0E}};
    for (const auto& [answer, value] : answers) {
        const Answer got = answer->get();
        EXPECT_EQ(got.status, Answer::Done);
        EXPECT_EQ(got.value, value);
    }
    rig.board->Stop();
    EXPECT_EQ(Fake::Latched(8), (Values{0x00, 0x80, 0x0E})) << "the waiting changes were not merged in order";
    EXPECT_EQ(std::count(Fake::log.begin(), Fake::log.end(), "fine timing on"), 0)
        << "a writer with real-time priority keeps the front door waiting";
}

// An ON that a later OFF overtook before it went out is answered by the
// transmission that carried the OFF, even when the output is asked on
// again meanwhile: under a flood of toggles it would otherwise wait ever
// longer.
TEST(Board, AnOnOvertakenByALaterChangeIsAnsweredByTheTransmissionThatCarriedIt) {
    Fake::Reset();
    Rig rig;
    rig.Start(Settings());
    const ArmedGate held = ArmGate(1);
    std::future<Answer> first = rig.board->SwitchOutput(1, Switch::On, "test");
    ASSERT_TRUE(WaitHeld());
    std::future<Answer> overtaken = rig.board->SwitchOutput(2, Switch::On, "test");
    std::future<Answer> off = rig.board->SwitchOutput(2, Switch::Off, "test");
    HoldTheNext();
    ASSERT_TRUE(WaitHeld()) << "output 2's OFF is not on the wire";
    std::future<Answer> again = rig.board->SwitchOutput(2, Switch::On, "test");
    HoldTheNext();
    ASSERT_TRUE(WaitHeld()) << "output 2's second ON is not on the wire";
    ASSERT_EQ(overtaken.wait_for(5s), std::future_status::ready) << "held until output 2 was on again";
    EXPECT_EQ(overtaken.get().value, 0x80u);
    EXPECT_EQ(off.get().value, 0x80u);
    EXPECT_EQ(again.wait_for(50ms), std::future_status::timeout) << "answered before its transmission";
    OpenGate();
    EXPECT_EQ(again.get().value, 0xC0u);
    EXPECT_EQ(first.get().value, 0x80u);
    rig.board->Stop();
    EXPECT_EQ(Fake::Latched(8), (Values{0x00, 0x80, 0x80, 0xC0}));
}

TEST(Board, AChangeThatChangesNothingIsAnsweredAtOnce) {
    Fake::Reset();
    Rig rig;
    rig.Start(Settings());
    EXPECT_EQ(rig.board->SwitchOutput(3, Switch::On, "test").get().value, 0x20u);
    const std::size_t logged = Fake::Latched(8).size();
    const Answer again = rig.board->SwitchOutput(3, Switch::On, "test").get();
    EXPECT_EQ(again.status, Answer::Done);
    EXPECT_EQ(again.value, 0x20u);
    rig.board->Stop();
    EXPECT_EQ(Fake::Latched(8).size(), logged) << "a change of nothing was sent";
}

TEST(Board, PulsesGoOffByThemselvesRestartAndAreCancelled) {
    struct Row {
        const char* name;
        void (*act)(Board&);
        Values latched;
        std::uint64_t recorded;
    } rows[] = {
        {"a pulse", [](Board& b) { b.PulseOutput(3, 100, "t").get(); }, {0x00, 0x20, 0x00}, 0x00},
        {"a pulse of an output that is on", [](Board& b) {
             b.SwitchOutput(3, Switch::On, "t").get();
             b.PulseOutput(3, 100, "t").get();
         }, {0x00, 0x20, 0x00}, 0x00},
        {"restarted: still one on and one off", [](Board& b) {
             b.PulseOutput(3, 150, "t").get();
             std::this_thread::sleep_for(100ms);
             b.PulseOutput(3, 150, "t").get();
         }, {0x00, 0x20, 0x00}, 0x00},
        {"cancelled by an explicit change", [](Board& b) {
             b.PulseOutput(3, 100, "t").get();
             b.SwitchOutput(3, Switch::On, "t").get();
         }, {0x00, 0x20}, 0x20},
        {"cancelled by a whole value", [](Board& b) {
             b.PulseOutput(3, 100, "t").get();
             b.SetValue(0x21, "t").get();
         }, {0x00, 0x20, 0x21}, 0x21},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        Rig rig;
        rig.Start(Settings());
        const auto started = std::chrono::steady_clock::now();
        row.act(*rig.board);
        std::this_thread::sleep_for(400ms);
        rig.board->Stop();
        EXPECT_EQ(Fake::Latched(8), row.latched) << row.name;
        EXPECT_GE(std::chrono::steady_clock::now() - started, 400ms);
        BoardState recorded;
        std::string problem;
        WaitUntil([&] {
            return ReadRecord(rig.Record(), &recorded, &problem) == RecordRead::Found && recorded.value == row.recorded;
        }, row.name);
    }
}

TEST(Board, APulseIsNotRecordedAsOn) {
    Fake::Reset();
    Rig rig;
    rig.Start(Settings());
    rig.board->SwitchOutput(1, Switch::On, "t").get();
    rig.board->PulseOutput(3, 3000, "t").get();
    BoardState recorded;
    std::string problem;
    WaitUntil([&] { return ReadRecord(rig.Record(), &recorded, &problem) == RecordRead::Found; });
    std::this_thread::sleep_for(50ms);
    ReadRecord(rig.Record(), &recorded, &problem);
    EXPECT_EQ(recorded.value, 0x80u) << "a restart would switch the pulsed output on for good";
    rig.board->Stop();
}

TEST(Board, AnAdapterThatGoesIsOpenedAgainAndGetsTheStateAgain) {
    Fake::Reset();
    Rig rig;
    rig.Start(Settings());
    rig.board->SwitchOutput(2, Switch::On, "t").get();
    // The first port hangs up; the next open gives the second handle.
    Fake::failingCalls = {{"still there #1", EIO}};
    WaitUntil([&] { return !rig.board->Look().available; });
    const Answer refused = rig.board->SwitchOutput(5, Switch::On, "t").get();
    EXPECT_EQ(refused.status, Answer::Unavailable);
    WaitUntil([&] { return rig.board->Look().available; });
    rig.board->Stop();
    EXPECT_EQ(Fake::Latched(8), (Values{0x00, 0x40, 0x40})) << "the refused change was sent, or the state not re-sent";
    bool reopened = false;
    for (const std::string& line : Fake::log) reopened = reopened || line == "open /dev/ttyFAKE1 -> #2";
    EXPECT_TRUE(reopened);
}

TEST(Board, AFailedTransmissionIsAnsweredUnavailableAndItsChangeDropped) {
    Fake::Reset();
    Rig rig;
    // Every strobe on the first port fails: power-on there fails, and the
    // board comes back on the second port with the power-on state.
    Fake::failingCalls = {{"SETRTS #1", EIO}};
    BoardSettings settings = Settings(8, false, PowerOn::Off);
    settings.output[0].powerOn = PowerOn::On;
    rig.Start(settings);
    EXPECT_EQ(rig.board->Look().value, 0x80u);
    rig.board->Stop();
    EXPECT_EQ(Fake::Latched(8), (Values{0x80, 0x80}));
}

// A transmission fails on the first port (every strobe there), after the
// steps before it went out; the board comes back on the second port. What
// was on its way is dropped, every pending end is kept.
TEST(Board, AFailedTransmissionKeepsEveryPendingEndAndDropsWhatWasOnItsWay) {
    struct Row {
        const char* name;
        void (*before)(Board&);                // goes out on the first port
        Answer::Status (*failing)(Board&);     // the change whose transmission fails
        Values latched;
        std::uint64_t recorded;
    } rows[] = {
        {"a pulse's OFF: sent again once the adapter is back", [](Board& b) { b.PulseOutput(3, 100, "t").get(); },
         [](Board&) {
             std::this_thread::sleep_for(300ms);
             return Answer::Unavailable;
         },
         {0x00, 0x20, 0x00, 0x00}, 0x00},
        {"an explicit OFF during a pulse: never recorded as on, off once back",
         [](Board& b) { b.PulseOutput(3, 300, "t").get(); },
         [](Board& b) { return b.SwitchOutput(3, Switch::Off, "t").get().status; }, {0x00, 0x20, 0x00, 0x00}, 0x00},
        {"a plain change: refused, and not sent when the adapter is back",
         [](Board& b) { b.SwitchOutput(2, Switch::On, "t").get(); },
         [](Board& b) { return b.SwitchOutput(5, Switch::On, "t").get().status; }, {0x00, 0x40, 0x48, 0x40}, 0x40},
    };
    // The fake latches what a failed transmission clocked: the third value.
    for (const Row& row : rows) {
        Fake::Reset();
        Rig rig;
        rig.Start(Settings());
        row.before(*rig.board);
        Fake::failingCalls = {{"SETRTS #1", EIO}};
        EXPECT_EQ(row.failing(*rig.board), Answer::Unavailable) << row.name;
        WaitUntil([&] { return !rig.board->Look().available; }, row.name);
        EXPECT_EQ(rig.board->Look().reason, "its adapter is gone") << row.name;
        WaitUntil([&] { return rig.board->Look().available && rig.board->Look().value == row.latched.back(); },
                  row.name);
        BoardState recorded;
        std::string problem;
        WaitUntil([&] {
            return ReadRecord(rig.Record(), &recorded, &problem) == RecordRead::Found && recorded.value == row.recorded;
        }, row.name);
        std::this_thread::sleep_for(400ms);  // a pulse's time, had it been started again
        rig.board->Stop();
        EXPECT_EQ(Fake::Latched(8), row.latched) << row.name;
    }
}

// A port that cannot be opened: unavailable with the reason a client is told.
TEST(Board, UnavailableSaysWhy) {
    const std::pair<std::uint32_t, const char*> rows[] = {
        {EBUSY, "port busy: another program holds it"},
        {ENOENT, "its adapter is gone"},
        {EACCES, "cannot open: permission denied"},
    };
    for (const auto& [error, reason] : rows) {
        Fake::Reset();
        Fake::refusedOpens = {{"/dev/ttyFAKE1", error}};
        Rig rig;
        rig.board = std::make_unique<Board>(Settings(), rig.Record(), rig.records, nullptr);
        rig.board->Start();
        WaitUntil([&] { return rig.board->Look().reason == reason; }, reason);
        const Answer refused = rig.board->SwitchOutput(1, Switch::On, "t").get();
        EXPECT_EQ(refused.status, Answer::Unavailable) << reason;
        EXPECT_EQ(refused.reason, reason);
        rig.board->Stop();
    }
}

// A change that arrives while the power-on state is on the wire waits for it.
TEST(Board, AChangeDuringThePowerOnTransmissionWaitsForIt) {
    Fake::Reset();
    Rig rig;
    const ArmedGate held = ArmGate(0);
    rig.board = std::make_unique<Board>(Settings(), rig.Record(), rig.records, nullptr);
    rig.board->Start();
    ASSERT_TRUE(WaitHeld());
    std::future<Answer> answer = rig.board->SwitchOutput(4, Switch::On, "t");
    OpenGate();
    const Answer done = answer.get();
    EXPECT_EQ(done.status, Answer::Done) << done.reason;
    EXPECT_EQ(done.value, 0x10u);
    rig.board->Stop();
}

// The real time of each latch, noted in the pause that follows it.
struct LatchClock {
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> at;
    std::size_t noted = 0;  // the log line of the last latch noted
};
LatchClock latchClock;

std::int64_t NotingLatches(std::int64_t requested) {
    const std::lock_guard<std::mutex> lock(latchClock.mutex);
    if (!Fake::log.empty() && Fake::log.back().rfind("SETRTS", 0) == 0 && latchClock.noted != Fake::log.size()) {
        latchClock.noted = Fake::log.size();
        latchClock.at.push_back(std::chrono::steady_clock::now());
    }
    return requested;
}

// Outputs 1 and 2 interlocked with a dead time, output 8 with an auto-off.
TEST(Board, InterlocksAndAutoOffFromEveryOperation) {
    BoardSettings settings = Settings();
    settings.interlocks = {{{1, 2}, 50}};
    settings.output[7].autoOffMs = 150;
    struct Row {
        const char* name;
        void (*act)(Board&);
        Values latched;
    } rows[] = {
        {"a member on: the other off, then it on after the dead time, again and again", [](Board& b) {
             b.SwitchOutput(1, Switch::On, "t").get();
             for (int turn = 0; turn < 5; ++turn) {
                 const int output = turn % 2 == 0 ? 2 : 1;
                 EXPECT_EQ(b.SwitchOutput(output, Switch::On, "t").get().value, output == 2 ? 0x40u : 0x80u)
                     << "answered before its ON";
             }
             // Each ON latched a whole dead time after the OFF before it,
             // however the latch fell within its millisecond.
             const std::lock_guard<std::mutex> lock(latchClock.mutex);
             ASSERT_EQ(latchClock.at.size(), 12u) << "power-on, output 1 on, then five times an OFF and an ON";
             for (std::size_t on = 3; on < latchClock.at.size(); on += 2)
                 EXPECT_GE(latchClock.at[on] - latchClock.at[on - 1], 50ms) << "an ON before the dead time was over";
         }, {0x00, 0x80, 0x00, 0x40, 0x00, 0x80, 0x00, 0x40, 0x00, 0x80, 0x00, 0x40}},
        {"a whole value with both members on is refused, nothing sent", [](Board& b) {
             const Answer refused = b.SetValue(0xC0, "t").get();
             EXPECT_EQ(refused.status, Answer::Refused);
             EXPECT_EQ(refused.reason, "outputs 1 and 2 are interlocked: at most one of them may be on");
             EXPECT_EQ(b.Apply({{1, Switch::On, 0}, {2, Switch::On, 0}}, "t").get().status, Answer::Refused);
         }, {0x00}},
        {"a pulse of a member waits out the dead time too", [](Board& b) {
             b.SwitchOutput(1, Switch::On, "t").get();
             std::future<Answer> ended;
             EXPECT_EQ(b.PulseOutput(2, 50, "t", &ended).get().value, 0x40u);
             EXPECT_EQ(ended.get().value, 0x00u);
             const std::lock_guard<std::mutex> lock(latchClock.mutex);
             ASSERT_EQ(latchClock.at.size(), 5u) << "power-on, 1 on, 1 off, 2 on, 2 off";
             EXPECT_GE(latchClock.at[4] - latchClock.at[3], 50ms) << "the pulse was short";
         }, {0x00, 0x80, 0x00, 0x40, 0x00}},
        {"auto-off after an ON, a toggle and a value alike", [](Board& b) {
             b.SwitchOutput(8, Switch::On, "t").get();
             std::this_thread::sleep_for(300ms);
             b.SwitchOutput(8, Switch::Toggle, "t").get();
             std::this_thread::sleep_for(300ms);
             b.SetValue(0x21, "t").get();
             EXPECT_GT(b.Look().offInMs[7], 0);
             EXPECT_EQ(b.Look().offInMs[2], -1);
         }, {0x00, 0x01, 0x00, 0x01, 0x00, 0x21, 0x20}},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        Fake::sleepLength = NotingLatches;
        latchClock.at.clear();
        latchClock.noted = 0;
        Rig rig;
        rig.Start(settings);
        row.act(*rig.board);
        std::this_thread::sleep_for(300ms);
        rig.board->Stop();
        EXPECT_EQ(Fake::Latched(8), row.latched) << row.name;
    }
}

// The auto-off deadline is in the record: a restart keeps it, and one past
// due is off in the power-on transmission.
TEST(Board, AutoOffDeadlinesSurviveARestart) {
    struct Row {
        const char* name;
        std::int64_t fromNow;
        Values latched;
    } rows[] = {
        {"past due: off at power-on", -1000, {0x20}},
        {"still to come: on, and off at its time", 200, {0x21, 0x20}},
    };
    BoardSettings settings = Settings();
    settings.output[7].autoOffMs = 60000;
    for (const Row& row : rows) {
        Fake::Reset();
        Rig rig;
        const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch()).count();
        Write(rig.Record(), "value 0x21\noutputs 8\ninvert no\nauto_off 8 " + std::to_string(now + row.fromNow) + "\n");
        rig.Start(settings);
        std::this_thread::sleep_for(500ms);
        rig.board->Stop();
        EXPECT_EQ(Fake::Latched(8), row.latched) << row.name;
    }
}

// Records still waiting when the keeper stops are written, each with its
// latest state, before it is gone.
TEST(RecordKeeper, WritesWhatIsWaitingBeforeItStops) {
    TemporaryDirectory directory;
    {
        RecordKeeper records;
        for (int round = 0; round < 50; ++round)
            for (int board = 0; board < 20; ++board)
                records.Put(directory.path + "/" + std::to_string(board) + ".state",
                            {static_cast<std::uint64_t>(round), 8, false, {}});
    }
    for (int board = 0; board < 20; ++board) {
        BoardState read;
        std::string problem;
        ASSERT_EQ(ReadRecord(directory.path + "/" + std::to_string(board) + ".state", &read, &problem),
                  RecordRead::Found) << "record " << board << " dropped at stop";
        EXPECT_EQ(read.value, 49u) << "record " << board << " is not the latest";
    }
}

}  // namespace
