#include "service/board.h"

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

}  // namespace

Board::Board(const BoardSettings& settings, std::string recordPath, RecordKeeper& records,
             std::function<void(const BoardEvent&)> publish)
    : settings_(settings), recordPath_(std::move(recordPath)), records_(records), publish_(std::move(publish)),
      pulses_(static_cast<std::size_t>(settings.outputs)) {}

Board::~Board() {
    Stop();
}

std::uint64_t Board::Bit(int output) const {
    return BitOfOutput(output, settings_.outputs);
}

void Board::Say(const std::string& what) {
    Log(settings_.name + ": " + what);
}

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
    std::uint64_t value = 0;
    for (int output = 1; output <= settings_.outputs; ++output) {
        const PowerOn policy = settings_.output[static_cast<std::size_t>(output - 1)].powerOn;
        const bool last = read == RecordRead::Found && (recorded.value & Bit(output));
        if (policy == PowerOn::On || (policy == PowerOn::Last && last)) value |= Bit(output);
    }
    {
        // The power-on state is the one the board stands by from now on,
        // also while its adapter is gone: it is what gets sent on opening.
        const std::lock_guard<std::mutex> lock(mutex_);
        wanted_ = sent_ = value;
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

BoardView Board::Look() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return {available_, sent_};
}

std::future<Answer> Board::Immediate(Answer::Status status) {
    std::promise<Answer> answer;
    answer.set_value({status, sent_});
    return answer.get_future();
}

std::future<Answer> Board::Enqueue(std::uint64_t wanted) {
    if (wanted == wanted_ && version_ == sentVersion_) return Immediate(Answer::Done);
    if (wanted != wanted_) {
        wanted_ = wanted;
        ++version_;
        wake_.notify_one();
    }
    waiters_.push_back({version_, {}});
    return waiters_.back().answer.get_future();
}

void Board::CancelPulses(std::uint64_t outputs) {
    bool running = false;
    for (int output = 1; output <= settings_.outputs; ++output) {
        if (!(outputs & Bit(output))) continue;
        running = running || pulses_[static_cast<std::size_t>(output - 1)].running;
        pulses_[static_cast<std::size_t>(output - 1)] = PulseTimer{};
    }
    if (running) Record();
}

std::future<Answer> Board::SwitchOutput(int output, Switch action, const std::string& who) {
    return Apply({{output, action, 0}}, who);
}

// Each change is logged once the board's lock is let go, so that a slow
// log (a journal that falls behind) never holds up the writer.
std::future<Answer> Board::Apply(const std::vector<Change>& changes, const std::string& who) {
    std::string said;
    std::future<Answer> answer;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || !available_) return Immediate(stopping_ ? Answer::Stopping : Answer::Unavailable);
        std::uint64_t wanted = wanted_, touched = 0;
        for (const Change& change : changes) {
            wanted = AppliedChange(wanted, change, settings_.outputs);
            touched |= change.output == 0 ? AllOutputs(settings_.outputs) : Bit(change.output);
            said += (said.empty() ? "" : ", ") +
                    (change.output == 0 ? std::string("all outputs") : "output " + std::to_string(change.output)) +
                    " " + WordFor(change.action);
        }
        CancelPulses(touched);
        answer = Enqueue(wanted);
    }
    Say(said + " (" + who + ")");
    return answer;
}

std::future<Answer> Board::SetValue(std::uint64_t value, const std::string& who) {
    std::future<Answer> answer;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || !available_) return Immediate(stopping_ ? Answer::Stopping : Answer::Unavailable);
        CancelPulses(AllOutputs(settings_.outputs));
        answer = Enqueue(value);
    }
    Say("value " + FormatValue(value, settings_.outputs) + " (" + who + ")");
    return answer;
}

std::future<Answer> Board::PulseOutput(int output, std::int64_t milliseconds, const std::string& who) {
    std::string said = "output " + std::to_string(output) + " pulse " + std::to_string(milliseconds) + " ms";
    std::future<Answer> answer;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || !available_) return Immediate(stopping_ ? Answer::Stopping : Answer::Unavailable);
        PulseTimer& pulse = pulses_[static_cast<std::size_t>(output - 1)];
        if (pulse.running) {
            said += ", restarted";
            pulse.milliseconds = milliseconds;
            pulse.end = Clock::now() + std::chrono::milliseconds(milliseconds);
            wake_.notify_one();
            answer = Immediate(Answer::Done);
        } else {
            answer = Enqueue(wanted_ | Bit(output));
            pulse = {milliseconds, version_, false, {}};
            // Already on at the register: the pulse's time runs from now.
            if (version_ == sentVersion_) {
                pulse.running = true;
                pulse.end = Clock::now() + std::chrono::milliseconds(milliseconds);
                wake_.notify_one();
            }
        }
    }
    Say(said + " (" + who + ")");
    return answer;
}

void Board::Settle(std::uint64_t upTo, Answer::Status status, std::uint64_t value) {
    for (auto waiter = waiters_.begin(); waiter != waiters_.end();) {
        if (waiter->version > upTo) {
            ++waiter;
            continue;
        }
        waiter->answer.set_value({status, value});
        waiter = waiters_.erase(waiter);
    }
}

void Board::EndPulses(Clock::time_point now) {
    for (int output = 1; output <= settings_.outputs; ++output) {
        PulseTimer& pulse = pulses_[static_cast<std::size_t>(output - 1)];
        if (!pulse.running || pulse.end > now) continue;
        pulse = PulseTimer{};
        Say("output " + std::to_string(output) + " off (end of pulse)");
        if (wanted_ & Bit(output)) {
            wanted_ &= ~Bit(output);
            ++version_;
        }
    }
}

Board::Clock::time_point Board::NextWake(Clock::time_point now) const {
    Clock::time_point next = now + kPresenceCheck;
    for (const PulseTimer& pulse : pulses_)
        if (pulse.running && pulse.end < next) next = pulse.end;
    return next;
}

void Board::Record() {
    std::uint64_t value = sent_;
    // A pulse is never remembered as on: after a restart it stays off.
    for (int output = 1; output <= settings_.outputs; ++output)
        if (pulses_[static_cast<std::size_t>(output - 1)].running) value &= ~Bit(output);
    records_.Put(recordPath_, {value, settings_.outputs, settings_.invert});
}

void Board::Publish(std::uint64_t changed, bool availabilityChanged) {
    if (publish_) publish_({settings_.name, settings_.outputs, available_, sent_, changed, availabilityChanged});
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
    const char* doing = "";
    if (problem.empty()) {
        const std::uint32_t error = OpenAndConfigure(settings_.port, &port_, &doing);
        if (error == 0) {
            portOpen_ = true;
            return true;
        }
        problem = ProblemWith(settings_.port, doing, error);
    }
    ReleaseTurn();
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
// it last sent, and pulses that never came on are forgotten.
void Board::Fail(const std::string& why) {
    const bool wasAvailable = available_;
    available_ = false;
    ClosePort();
    for (PulseTimer& pulse : pulses_)
        if (!pulse.running) pulse = PulseTimer{};
    Settle(version_, Answer::Unavailable, sent_);
    wanted_ = sent_;
    sentVersion_ = version_;
    reopenAt_ = Clock::now() + kReopen;
    if (why != lastProblem_) Say(why + "; unavailable, opened again every second");
    lastProblem_ = why;
    if (wasAvailable) Publish(0, true);
}

void Board::Transmit(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t value = wanted_, version = version_, before = sent_;
    lock.unlock();
    const std::uint32_t error = TransmitValue(port_, value, settings_.outputs, settings_.invert);
    lock.lock();
    const std::uint64_t line = settings_.invert ? ~value : value;
    breakOn_ = (line >> (settings_.outputs - 1)) & 1;
    if (error != 0) {
        Fail(settings_.port + ": sending failed: " + Reason(error));
        return;
    }
    const bool becameAvailable = !available_;
    available_ = true;
    sent_ = value;
    sentVersion_ = version;
    const auto now = Clock::now();
    for (int output = 1; output <= settings_.outputs; ++output) {
        PulseTimer& pulse = pulses_[static_cast<std::size_t>(output - 1)];
        if (pulse.milliseconds > 0 && !pulse.running && pulse.startVersion <= version) {
            pulse.running = true;
            pulse.end = now + std::chrono::milliseconds(pulse.milliseconds);
        }
    }
    if (becameAvailable) Say(settings_.port + ": available");
    lastProblem_.clear();
    Settle(version, Answer::Done, value);
    Record();
    Publish(before ^ value, becameAvailable);
}

void Board::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    Clock::time_point nextCheck = Clock::now() + kPresenceCheck;
    reopenAt_ = Clock::now();
    while (!stopping_) {
        const Clock::time_point now = Clock::now();
        EndPulses(now);
        if (!portOpen_) {
            if (now >= reopenAt_) {
                reopenAt_ = now + kReopen;
                lock.unlock();
                const bool opened = OpenPort();
                lock.lock();
                // The open may have clocked a stray bit: everything is sent again.
                if (opened) ++version_;
                continue;
            }
            wake_.wait_until(lock, std::min(reopenAt_, NextWake(now)));
            continue;
        }
        if (version_ != sentVersion_) {
            Transmit(lock);
            continue;
        }
        if (now >= nextCheck) {
            nextCheck = now + kPresenceCheck;
            if (!SerialLine::StillThere(port_)) {
                Fail(settings_.port + ": the adapter is gone");
                continue;
            }
        }
        wake_.wait_until(lock, std::min(nextCheck, NextWake(now)));
    }
    // A pulse is never left on, not even by a service that stops.
    std::uint64_t pulsing = 0;
    for (int output = 1; output <= settings_.outputs; ++output)
        if (pulses_[static_cast<std::size_t>(output - 1)].running) pulsing |= Bit(output);
    if (pulsing && portOpen_) {
        Say("pulses ended early: the service stops");
        wanted_ &= ~pulsing;
        ++version_;
        CancelPulses(pulsing);
        Transmit(lock);
    }
    Settle(version_, Answer::Stopping, sent_);
    ClosePort();
}
