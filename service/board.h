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
#include "board/rules.h"
#include "register/serial_line.h"
#include "service/configuration.h"

class RecordKeeper;

// What became of a change: done (value: the outputs as the transmission
// that carried it left them), refused by the board's rules (reason: the
// rule, as "outputs 1 and 2 are interlocked: ..."; nothing was sent),
// unavailable (reason: why, as "its adapter is gone") or the service
// stopping.
struct Answer {
    enum Status { Done, Unavailable, Stopping, Refused } status = Done;
    std::uint64_t value = 0;
    std::string reason;
};

// What the board is now: whether its adapter is there (and why not), its
// outputs, and per output (output 1 first) the milliseconds until it goes
// off by itself (the end of a pulse or an auto-off), -1 for never.
struct BoardView {
    bool available = false;
    std::uint64_t value = 0;
    std::string reason;
    std::vector<std::int64_t> offInMs;
    std::uint64_t waitingOn = 0;  // outputs asked on that wait out an interlock's dead time
};

// What changed on a board, for the event stream and MQTT.
struct BoardEvent {
    std::string board;
    int outputs = 8;
    bool available = false;
    std::uint64_t value = 0;
    std::uint64_t changed = 0;      // the outputs whose state changed, as bits
    bool availabilityChanged = false;
    std::string reason;             // why it is unavailable
    std::vector<std::int64_t> offInMs;  // as in BoardView
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

    // The operations, from any thread. Every one goes through the board's
    // rules (board/rules.h): interlocks, auto-off, pulses that always end.
    // Each change is applied at once, in the order they come; its answer is
    // ready once the transmission that carries it has ended (an ON held back
    // by an interlock's dead time: once that ON is latched), or at once when
    // it changes nothing. A change that breaks an interlock (two members of
    // a group asked on) is Refused, all of it, and nothing is sent. A board
    // whose port is not open refuses them (Unavailable) and sends nothing;
    // while a transmission is on the wire (the power-on state, the re-send
    // after an adapter came back) they wait for it like any other.
    std::future<Answer> SwitchOutput(int output, Switch action, const std::string& who);
    // On now, off by itself after milliseconds; answered once it is on. A
    // second pulse while one runs restarts its time; any other change of
    // the output cancels it. With ended, that future is answered once the
    // pulse's OFF has been latched (or the pulse was cancelled).
    std::future<Answer> PulseOutput(int output, std::int64_t milliseconds, const std::string& who,
                                    std::future<Answer>* ended = nullptr);
    std::future<Answer> SetValue(std::uint64_t value, const std::string& who);
    // Changes of single outputs (not pulses), in order, in one transmission
    // (parsed by ParseOutputItems, or made by a door), all or nothing.
    std::future<Answer> Apply(const std::vector<Change>& changes, const std::string& who);

    // Called whenever answers that were not ready when asked have become
    // ready, on the thread that made them so and with the board's lock
    // held: it must be quick and must not call the board. Empty for none.
    void WhenAnswered(std::function<void()> hook);

private:
    using Clock = std::chrono::steady_clock;

    // A change's answer, due once a transmission at least this far has
    // ended, with the outputs in `on` latched on (unless no longer asked)
    // and the pulses in `ended` over.
    struct Waiter {
        std::uint64_t version;
        std::uint64_t on;
        std::uint64_t ended;
        std::promise<Answer> answer;
    };

    // With mutex_ held: takes the wish through the rules and returns the
    // future answer (ready at once when refused or when nothing is to be sent).
    std::future<Answer> Ask(const Wish& wish, std::future<Answer>* ended);
    std::future<Answer> Immediate(Answer::Status status, const std::string& reason = "");
    void Settle();

    void Run();
    bool OpenPort();
    void ClosePort();
    void ReleaseTurn();
    void Transmit(std::unique_lock<std::mutex>& lock);
    void ApplyDue(std::int64_t now);
    Clock::time_point NextWake(Clock::time_point latest) const;
    void Fail(const std::string& reason, const std::string& said);
    void Say(const std::string& what);
    void Record();
    void Publish(std::uint64_t changed, bool availabilityChanged);
    void AnswerAll(const Answer& answer);
    std::vector<std::int64_t> OffInMs(std::int64_t now) const;
    std::uint64_t Bit(int output) const;

    const BoardSettings settings_;
    const BoardRules rules_;
    const std::string recordPath_;
    RecordKeeper& records_;
    const std::function<void(const BoardEvent&)> publish_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Plan plan_;                    // what is latched and what is pending, under the rules
    std::uint64_t version_ = 0;    // changes made to plan_.wanted
    std::uint64_t sentVersion_ = 0;
    bool available_ = false;       // the port is open and no transmission failed since
    bool announced_ = false;       // available, and said so by a good transmission
    bool everLatched_ = false;     // the power-on state went out
    std::string reason_ = "not opened yet";  // why it is unavailable
    bool stopping_ = false;
    std::list<Waiter> waiters_;
    std::function<void()> answered_;
    PortHandle port_ = {};
    bool portOpen_ = false;
    bool breakOn_ = false;         // TXD left in break by the last transmission
    PortHandle turn_ = {};
    bool turnTaken_ = false;
    std::string lastProblem_;      // said once, not every second
    Clock::time_point reopenAt_;
    std::thread writer_;
};
