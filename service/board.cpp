#include "service/board.h"

#include <algorithm>

#include "board/values.h"
#include "ports/port_opening.h"
#include "ports/port_paths.h"
#include "register/transmission.h"
#include "service/log.h"
#include "service/record_keeper.h"

namespace {

// How often an idle board looks for a vanished adapter, and how often a
// gone one is opened again.
constexpr auto kPresenceCheck = std::chrono::milliseconds(500);
constexpr auto kReopen = std::chrono::seconds(1);

const char* WordFor(Switch action) {
    switch (action) {
        case Switch::On: return "on";
        case Switch::Off: return "off";
        case Switch::Toggle: return "toggled";
        case Switch::Pulse: return "pulse";
    }
    return "";
}

// The rules' clock: milliseconds of the steady clock.
std::int64_t Milliseconds(std::chrono::steady_clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

// A latch is dated by the millisecond it was over in, so that a dead
// time or a pulse counted from it is never short by the part of a
// millisecond the rules' clock drops.
std::int64_t MillisecondsAfter(std::chrono::steady_clock::time_point at) {
    return std::chrono::ceil<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

std::int64_t WallMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

// What an open that failed means, in the words a client is told.
std::string UnavailableBecause(std::uint32_t error) {
    switch (SerialLine::KindOfError(error)) {
        case PortError::Busy: return "port busy: another program holds it";
        case PortError::NotFound: return "its adapter is gone";
        case PortError::Denied: return "cannot open: permission denied";
        case PortError::NotSerial: return "cannot open: not a serial port";
        case PortError::Other: break;
    }
    return "cannot open: " + Reason(error);
}

}  // namespace

Board::Board(const BoardSettings& settings, std::string recordPath, RecordKeeper& records,
             std::function<void(const BoardEvent&)> publish)
    : settings_(settings), rules_(RulesOf(settings)), recordPath_(std::move(recordPath)), records_(records),
      publish_(std::move(publish)), plan_(StartingPlan(rules_, 0, 1)) {}

Board::~Board() {
    Stop();
}

std::uint64_t Board::Bit(int output) const {
    return BitOfOutput(output, settings_.outputs);
}

void Board::Say(const std::string& what) {
    Log(settings_.name + ": " + what);
}

// The power-on state goes through the rules as any change does: a record
// that has two members of an interlock on (the group is newer than the
// record) leaves the whole group off.
void Board::Start() {
    BoardState recorded;
    std::string problem;
    RecordRead read = ReadRecord(recordPath_, &recorded, &problem);
    if (read == RecordRead::Failed) Say(problem + "; the power-on state is made without it");
    if (read == RecordRead::Found && (recorded.outputs != settings_.outputs || recorded.invert != settings_.invert)) {
        Say("the record " + recordPath_ + " is for " + std::to_string(recorded.outputs) +
            " outputs" + (recorded.invert ? ", inverted" : "") + "; the power-on state is made without it");
        read = RecordRead::Failed;
    }
    if (read != RecordRead::Found) recorded = BoardState{0, settings_.outputs, settings_.invert, {}};
    std::uint64_t value = 0, kept = 0;
    for (int output = 1; output <= settings_.outputs; ++output) {
        const PowerOn policy = settings_.output[static_cast<std::size_t>(output - 1)].powerOn;
        const bool last = recorded.value & Bit(output);
        if (policy == PowerOn::On || (policy == PowerOn::Last && last)) value |= Bit(output);
        if (policy == PowerOn::Last && last) kept |= Bit(output);
    }
    for (const Interlock& group : rules_.interlocks) {
        if (InterlockConflict(rules_, value & group.members).empty()) continue;
        Say("the record has outputs of an interlock on together; they stay off");
        value &= ~group.members;
    }
    const auto now = Clock::now();
    const std::int64_t nowMs = Milliseconds(now), wallMs = WallMilliseconds();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        plan_ = StartingPlan(rules_, recorded.value, nowMs);
        Request(rules_, plan_, WishOfValue(value, settings_.outputs), nowMs);
        // An output kept on keeps its auto-off deadline; one past due goes
        // off in the power-on transmission.
        for (const auto& [output, deadline] : recorded.offAt) {
            if (!(kept & value & Bit(output))) continue;
            const std::size_t k = static_cast<std::size_t>(output - 1);
            plan_.offAt[k] = std::max<std::int64_t>(nowMs + (deadline - wallMs), nowMs);
            plan_.onFor[k] = 0;
        }
        Due(rules_, plan_, nowMs);
        version_ = 1;
    }
    Say("power-on state " + FormatValue(value, settings_.outputs));
    writer_ = std::thread(&Board::Run, this);
}

void Board::Stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) writer_.join();
}

std::vector<std::int64_t> Board::OffInMs(std::int64_t now) const {
    std::vector<std::int64_t> remaining(static_cast<std::size_t>(settings_.outputs), -1);
    for (int output = 1; output <= settings_.outputs; ++output) {
        const std::size_t k = static_cast<std::size_t>(output - 1);
        if (plan_.offAt[k] != 0 && (plan_.latched & Bit(output)))
            remaining[k] = std::max<std::int64_t>(plan_.offAt[k] - now, 0);
    }
    return remaining;
}

BoardView Board::Look() const {
    const std::int64_t now = Milliseconds(Clock::now());
    const std::lock_guard<std::mutex> lock(mutex_);
    return {available_, plan_.latched, available_ ? "" : reason_, OffInMs(now), plan_.waitingOn};
}

std::future<Answer> Board::Immediate(Answer::Status status, const std::string& reason) {
    std::promise<Answer> answer;
    answer.set_value({status, plan_.latched, reason});
    return answer.get_future();
}

std::future<Answer> Board::Ask(const Wish& wish, std::future<Answer>* ended) {
    if (stopping_) return Immediate(Answer::Stopping);
    if (!available_) return Immediate(Answer::Unavailable, reason_);
    const Plan before = plan_;
    const std::string conflict = Request(rules_, plan_, wish, Milliseconds(Clock::now()));
    if (!conflict.empty()) return Immediate(Answer::Refused, conflict);
    if (plan_.wanted != before.wanted) ++version_;
    // A pulse turned into a plain ON, or an auto-off started again, is
    // recorded now: no transmission will.
    if (RecordedValue(plan_) != RecordedValue(before) || plan_.offAt != before.offAt) Record();
    wake_.notify_one();
    if (ended) {
        waiters_.push_back({version_, 0, wish.pulse, {}});
        *ended = waiters_.back().answer.get_future();
    }
    // Only an ON the rules hold back waits until it is latched; any other
    // change is answered by the transmission that carries it, even where a
    // later change of the same output went out with it instead.
    waiters_.push_back({version_, wish.on & plan_.waitingOn, 0, {}});
    std::future<Answer> answer = waiters_.back().answer.get_future();
    Settle();
    return answer;
}

std::future<Answer> Board::SwitchOutput(int output, Switch action, const std::string& who) {
    return Apply({{output, action, 0}}, who);
}

// Each change is logged once the board's lock is let go, so that a slow
// log (a journal that falls behind) never holds up the writer.
std::future<Answer> Board::Apply(const std::vector<Change>& changes, const std::string& who) {
    std::string said;
    for (const Change& change : changes)
        said += (said.empty() ? "" : ", ") +
                (change.output == 0 ? std::string("all outputs") : "output " + std::to_string(change.output)) +
                " " + WordFor(change.action);
    std::future<Answer> answer;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        answer = Ask(WishOfChanges(plan_, changes, settings_.outputs), nullptr);
    }
    Say(said + " (" + who + ")");
    return answer;
}

std::future<Answer> Board::SetValue(std::uint64_t value, const std::string& who) {
    std::future<Answer> answer;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        answer = Ask(WishOfValue(value, settings_.outputs), nullptr);
    }
    Say("value " + FormatValue(value, settings_.outputs) + " (" + who + ")");
    return answer;
}

std::future<Answer> Board::PulseOutput(int output, std::int64_t milliseconds, const std::string& who,
                                       std::future<Answer>* ended) {
    std::future<Answer> answer;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        answer = Ask(WishOfChanges(plan_, {{output, Switch::Pulse, milliseconds}}, settings_.outputs), ended);
    }
    Say("output " + std::to_string(output) + " pulse " + std::to_string(milliseconds) + " ms (" + who + ")");
    return answer;
}

void Board::WhenAnswered(std::function<void()> hook) {
    const std::lock_guard<std::mutex> lock(mutex_);
    answered_ = std::move(hook);
}

// Answers every waiter whose wait is over.
void Board::Settle() {
    const std::uint64_t asked = plan_.wanted | plan_.waitingOn;
    bool answered = false;
    for (auto waiter = waiters_.begin(); waiter != waiters_.end();) {
        const bool over = waiter->version <= sentVersion_ && !(waiter->on & asked & ~plan_.latched) &&
                          !(waiter->ended & plan_.pulsing);
        if (!over) {
            ++waiter;
            continue;
        }
        waiter->answer.set_value({Answer::Done, plan_.latched, ""});
        waiter = waiters_.erase(waiter);
        answered = true;
    }
    if (answered && answered_) answered_();
}

void Board::AnswerAll(const Answer& answer) {
    for (Waiter& waiter : waiters_) waiter.answer.set_value(answer);
    if (!waiters_.empty() && answered_) answered_();
    waiters_.clear();
}

// The ends that are due and the ONs whose dead time has passed: changes
// like any other, said in the log.
void Board::ApplyDue(std::int64_t now) {
    const std::uint64_t before = plan_.wanted;
    Due(rules_, plan_, now);
    if (plan_.wanted == before) return;
    ++version_;
    for (int output = 1; output <= settings_.outputs; ++output) {
        const std::uint64_t bit = Bit(output);
        if (before & ~plan_.wanted & bit)
            Say("output " + std::to_string(output) + (plan_.pulsing & bit ? " off (end of pulse)" : " off (auto-off)"));
        if (~before & plan_.wanted & bit) Say("output " + std::to_string(output) + " on (after the dead time)");
    }
}

Board::Clock::time_point Board::NextWake(Clock::time_point latest) const {
    const std::int64_t due = NextDue(rules_, plan_);
    if (due == 0) return latest;
    const Clock::time_point at{std::chrono::milliseconds(due)};
    return std::min(at, latest);
}

// The record never has a pulse on; an auto-off keeps its deadline on the
// wall clock, so that a restart ends it on time.
void Board::Record() {
    const std::uint64_t value = RecordedValue(plan_);
    BoardState state{value, settings_.outputs, settings_.invert, {}};
    const std::int64_t now = Milliseconds(Clock::now()), wall = WallMilliseconds();
    for (int output = 1; output <= settings_.outputs; ++output) {
        const std::int64_t offAt = plan_.offAt[static_cast<std::size_t>(output - 1)];
        if ((value & Bit(output)) && offAt != 0) state.offAt[output] = wall + (offAt - now);
    }
    records_.Put(recordPath_, state);
}

void Board::Publish(std::uint64_t changed, bool availabilityChanged) {
    if (publish_)
        publish_({settings_.name, settings_.outputs, available_, plan_.latched, changed, availabilityChanged,
                  available_ ? "" : reason_, OffInMs(Milliseconds(Clock::now()))});
}

// The turn is taken anew with each open, since the device behind the
// configured path (and so the lock's name) may change while it is gone.
bool Board::OpenPort() {
    std::string problem;
    const std::string path = TurnLockPath(settings_.port);
    if (SerialLine::LockTurn(path.c_str(), &turn_))
        turnTaken_ = true;
    else if (SerialLine::KindOfError(SerialLine::LastError()) == PortError::Busy)
        problem = PortBusy(settings_.port);
    std::string reason = problem.empty() ? "" : "port busy: another program holds it";
    const char* doing = "";
    if (problem.empty()) {
        const std::uint32_t error = OpenAndConfigure(settings_.port, &port_, &doing);
        if (error == 0) {
            portOpen_ = true;
            return true;
        }
        problem = ProblemWith(settings_.port, doing, error);
        reason = UnavailableBecause(error);
    }
    ReleaseTurn();
    const std::lock_guard<std::mutex> lock(mutex_);
    reason_ = reason;
    if (problem != lastProblem_) Say(problem + "; unavailable, opened again every second");
    lastProblem_ = problem;
    return false;
}

void Board::ReleaseTurn() {
    if (turnTaken_) SerialLine::UnlockTurn(turn_);
    turnTaken_ = false;
}

// TXD is left idle, so that no current flows through the level
// interface's clamps while nobody sends.
void Board::ClosePort() {
    if (!portOpen_) return;
    if (breakOn_) SerialLine::ControlLine(port_, LineCode::ClrBreak);
    SerialLine::Close(port_);
    ReleaseTurn();
    portOpen_ = false;
    breakOn_ = false;
}

// The changes that were on their way are dropped: the board stands by what
// it last latched. Every pending end is kept, so the re-send after the
// adapter comes back carries the OFF of each one that is due.
void Board::Fail(const std::string& reason, const std::string& said) {
    const bool wasAnnounced = announced_;
    available_ = announced_ = false;
    reason_ = reason;
    ClosePort();
    // Until the power-on state has gone out it stays what the board stands by.
    if (everLatched_) Failed(plan_);
    AnswerAll({Answer::Unavailable, plan_.latched, reason});
    sentVersion_ = version_;
    reopenAt_ = Clock::now() + kReopen;
    if (said != lastProblem_) Say(said + "; unavailable, opened again every second");
    lastProblem_ = said;
    Record();
    if (wasAnnounced) Publish(0, true);
}

void Board::Transmit(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t value = plan_.wanted, version = version_, before = plan_.latched;
    // A member switched off while its ON is on the way may still be latched
    // on: the rules hold another member's ON back until this has ended.
    plan_.sending = value;
    lock.unlock();
    // The front door's threads run while the wire is busy: a writer that
    // took real-time priority would keep them waiting.
    const std::uint32_t error = TransmitValue(port_, value, settings_.outputs, settings_.invert, Pacing::Shared);
    lock.lock();
    plan_.sending = 0;
    const std::uint64_t line = settings_.invert ? ~value : value;
    breakOn_ = (line >> (settings_.outputs - 1)) & 1;
    if (error != 0) {
        Fail("its adapter is gone", settings_.port + ": sending failed: " + Reason(error));
        return;
    }
    const bool becameAvailable = !announced_;
    announced_ = everLatched_ = true;
    Latched(rules_, plan_, value, MillisecondsAfter(Clock::now()));
    sentVersion_ = version;
    if (becameAvailable) Say(settings_.port + ": available");
    lastProblem_.clear();
    Settle();
    Record();
    Publish(before ^ value, becameAvailable);
}

void Board::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    Clock::time_point nextCheck = Clock::now() + kPresenceCheck;
    reopenAt_ = Clock::now();
    while (!stopping_) {
        const Clock::time_point now = Clock::now();
        ApplyDue(Milliseconds(now));
        if (!portOpen_) {
            if (now >= reopenAt_) {
                reopenAt_ = now + kReopen;
                lock.unlock();
                const bool opened = OpenPort();
                lock.lock();
                // The open may have clocked a stray bit: everything is sent
                // again, and changes asked meanwhile wait for it.
                if (opened) {
                    available_ = true;
                    ++version_;
                }
                continue;
            }
            wake_.wait_until(lock, NextWake(reopenAt_));
            continue;
        }
        if (version_ != sentVersion_) {
            Transmit(lock);
            continue;
        }
        if (now >= nextCheck) {
            nextCheck = now + kPresenceCheck;
            if (!SerialLine::StillThere(port_)) {
                Fail("its adapter is gone", settings_.port + ": the adapter is gone");
                continue;
            }
        }
        wake_.wait_until(lock, NextWake(nextCheck));
    }
    // A pulse is never left on, not even by a service that stops.
    const std::uint64_t pulsing = plan_.pulsing & plan_.latched;
    if (pulsing && portOpen_) {
        Say("pulses ended early: the service stops");
        plan_.wanted &= ~pulsing;
        ++version_;
        Transmit(lock);
    }
    AnswerAll({Answer::Stopping, plan_.latched, ""});
    ClosePort();
}
