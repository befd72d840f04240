// A board: a port with its chain of registers, owned by one writer thread.
// Everyone else hands it changes; the writer merges what arrived while a
// transmission was on the wire into the next one, so the wire never idles
// while a change waits, and answers each change once the transmission that
// carries it has ended.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board/changes.h"
#include "board/record.h"
#include "register/serial_line.h"
#include "service/configuration.h"

class RecordKeeper;

// What became of a change.
struct Answer {
    enum Status { Done, Unavailable, Stopping } status = Done;
    std::uint64_t value = 0;  // the outputs as the transmission that carried it left them
};

// What the board is now: whether its adapter is there, and its outputs.
struct BoardView {
    bool available = false;
    std::uint64_t value = 0;
};

// What changed on a board, for the event stream and MQTT.
struct BoardEvent {
    std::string board;
    int outputs = 8;
    bool available = false;
    std::uint64_t value = 0;
    std::uint64_t changed = 0;      // the outputs whose state changed, as bits
    bool availabilityChanged = false;
};

class Board {
public:
    Board(const BoardSettings& settings, std::string recordPath, RecordKeeper& records,
          std::function<void(const BoardEvent&)> publish);
    ~Board();

    // Reads the record, applies the power-on policy and starts the writer,
    // which opens the port and sends that state in one transmission.
    void Start();
    void Stop();

    const BoardSettings& Settings() const { return settings_; }
    BoardView Look() const;

    // The operations, from any thread. Each change is applied at once, in
    // the order they come; its answer is ready once the transmission that
    // carries it has ended, or at once when it changes nothing. A board
    // whose adapter is gone refuses them (Unavailable) and sends nothing.
    std::future<Answer> SwitchOutput(int output, Switch action, const std::string& who);
    // On now, off by itself after milliseconds; answered once it is on. A
    // second pulse while one runs restarts its time; any other change of
    // the output cancels it.
    std::future<Answer> PulseOutput(int output, std::int64_t milliseconds, const std::string& who);
    std::future<Answer> SetValue(std::uint64_t value, const std::string& who);
    // Changes of single outputs (not pulses), in order, in one transmission.
    std::future<Answer> Apply(const std::vector<Change>& changes, const std::string& who);

private:
    using Clock = std::chrono::steady_clock;

    struct Waiter {
        std::uint64_t version;
        std::promise<Answer> answer;
    };
    struct PulseTimer {
        std::int64_t milliseconds = 0;
        std::uint64_t startVersion = 0;  // the transmission that switches it on
        bool running = false;            // on at the register, ending at `end`
        Clock::time_point end;
    };

    // With mutex_ held: makes `wanted` the wanted state, and returns the
    // future answer (an answer at once when nothing is to be sent).
    std::future<Answer> Enqueue(std::uint64_t wanted);
    std::future<Answer> Immediate(Answer::Status status);
    void CancelPulses(std::uint64_t outputs);

    void Run();
    bool OpenPort();
    void ClosePort();
    void ReleaseTurn();
    void Transmit(std::unique_lock<std::mutex>& lock);
    void EndPulses(Clock::time_point now);
    Clock::time_point NextWake(Clock::time_point now) const;
    void Settle(std::uint64_t upTo, Answer::Status status, std::uint64_t value);
    void Fail(const std::string& why);
    void Say(const std::string& what);
    void Record();
    void Publish(std::uint64_t changed, bool availabilityChanged);
    std::uint64_t Bit(int output) const;

    const BoardSettings settings_;
    const std::string recordPath_;
    RecordKeeper& records_;
    const std::function<void(const BoardEvent&)> publish_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::uint64_t wanted_ = 0;     // every change applied, in the order they came
    std::uint64_t sent_ = 0;       // what the last good transmission left on the outputs (at first: the power-on state)
    std::uint64_t version_ = 0;    // changes applied to wanted_
    std::uint64_t sentVersion_ = 0;
    bool available_ = false;
    bool stopping_ = false;
    std::vector<PulseTimer> pulses_;
    std::list<Waiter> waiters_;
    PortHandle port_ = {};
    bool portOpen_ = false;
    bool breakOn_ = false;         // TXD left in break by the last transmission
    PortHandle turn_ = {};
    bool turnTaken_ = false;
    std::string lastProblem_;      // said once, not every second
    Clock::time_point reopenAt_;
    std::thread writer_;
};
