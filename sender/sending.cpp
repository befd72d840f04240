#include "sender/sending.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "board/changes.h"
#include "board/output_bits.h"
#include "board/record.h"
#include "board/rules.h"
#include "board/state_files.h"
#include "board/values.h"
#include "ports/port_opening.h"
#include "ports/port_paths.h"
#include "register/pause.h"
#include "register/transmission.h"
#include "sender/board_definition.h"
#include "sender/interruption.h"
#include "sender/service_link.h"

volatile std::sig_atomic_t InterruptingSignal = 0;

namespace {

// What a run knows of the board, and what it holds.
struct Run {
    Run(const Command& given, std::string record) : command(given), recordPath(std::move(record)) {}

    const Command& command;
    std::string recordPath;
    BoardState state;             // as last sent, or as the record says
    bool known = true;            // false while the record could not be read
    bool mismatch = false;        // --outputs or --invert differ from the record
    std::string problem;          // why the state is not known, or the mismatch
    PortHandle turn = {};
    bool turnTaken = false;
    PortHandle port = {};
    bool portOpen = false;
    bool breakOn = false;         // TXD left in break by the last transmission
    std::int64_t earliest = 0;    // when the next transmission may start
    int link = -1;                // the line to the service that owns the port, if it does
    BoardDefinition definition;   // the service's board on the port, with the service stopped
    Plan plan;                    // what the board's rules make of the steps so far
};

Outcome Sent() {
    return {kExitSent, ""};
}

Outcome Stopped() {
    return {128 + InterruptingSignal, "interrupted"};
}

std::int64_t TicksOfMilliseconds(std::int64_t milliseconds) {
    return milliseconds * (SerialLine::ClockTicksPerSecond() / 1000);
}

// The board's rules take times in milliseconds of the same clock. A
// transmission's end is rounded up, so that no pulse and no dead time
// that runs from it is cut short by the rounding.
std::int64_t NowMs() {
    return SerialLine::Clock() / (SerialLine::ClockTicksPerSecond() / 1000);
}

std::int64_t NowMsRoundedUp() {
    const std::int64_t perMs = SerialLine::ClockTicksPerSecond() / 1000;
    return (SerialLine::Clock() + perMs - 1) / perMs;
}

bool WaitABit(std::int64_t deadline) {
    const std::int64_t soon = SerialLine::Clock() + TicksOfMilliseconds(5);
    return WaitUntil(soon < deadline ? soon : deadline, Interrupted);
}

// Waits, up to --wait, while another sender has its turn; a lock that
// cannot be had for another reason (no /run/lock) is gone without.
Outcome TakeTurn(Run& run, std::int64_t deadline) {
    const std::string path = TurnLockPath(run.command.port);
    if (path.empty()) return Sent();
    while (!SerialLine::LockTurn(path.c_str(), &run.turn)) {
        if (SerialLine::KindOfError(SerialLine::LastError()) != PortError::Busy) return Sent();
        if (SerialLine::Clock() >= deadline) return {kExitFailed, PortBusy(run.command.port)};
        if (!WaitABit(deadline)) return Stopped();
    }
    run.turnTaken = true;
    return Sent();
}

// Another serial tool may hold the device itself; it is waited for too.
Outcome OpenPort(Run& run, std::int64_t deadline) {
    for (;;) {
        const char* doing = "";
        const std::uint32_t error = OpenAndConfigure(run.command.port, &run.port, &doing);
        if (error == 0) {
            run.portOpen = true;
            run.earliest = SerialLine::Clock();
            return Sent();
        }
        if (SerialLine::KindOfError(error) != PortError::Busy || SerialLine::Clock() >= deadline)
            return {kExitFailed, ProblemWith(run.command.port, doing, error)};
        if (!WaitABit(deadline)) return Stopped();
    }
}

// The line is left idle, so that no current flows between transmissions
// through the level interface's clamps.
void Release(Run& run) {
    if (run.portOpen) {
        if (run.breakOn) SerialLine::ControlLine(run.port, LineCode::ClrBreak);
        SerialLine::Close(run.port);
        run.portOpen = false;
    }
    if (run.turnTaken) SerialLine::UnlockTurn(run.turn);
    run.turnTaken = false;
}

std::string Describe(int outputs, bool invert) {
    return std::to_string(outputs) + " outputs, " + (invert ? "inverted" : "not inverted");
}

// One request to the service and its answer: "0 WHAT" for done, "1 WHY"
// for a failure, "denied" for a peer who may not use the device.
Outcome AskService(Run& run, const std::string& request, std::string* answer) {
    switch (ServiceLink::Ask(run.link, request, answer)) {
        case ServiceLink::Read::Line:
            break;
        case ServiceLink::Read::Interrupted:
            return Stopped();
        case ServiceLink::Read::Closed:
            return {kExitFailed, run.command.port + ": octolatchd, which owns the port, stopped before the command was done"};
        case ServiceLink::Read::Failed:
            return {kExitFailed, run.command.port + ": the line to octolatchd failed: " + std::strerror(errno)};
    }
    if (*answer == "denied") return {kExitFailed, PermissionDenied(run.command.port)};
    const std::string said = answer->size() > 2 ? answer->substr(2) : "";
    if (answer->compare(0, 2, "0 ") != 0 && *answer != "0") return {kExitFailed, run.command.port + ": " + said};
    *answer = said;
    return Sent();
}

// Reads the record; what it says decides the width and inversion in force.
void ReadState(Run& run) {
    std::string problem;
    const RecordRead read = ReadRecord(run.recordPath, &run.state, &problem);
    run.known = read != RecordRead::Failed;
    if (!run.known) {
        run.state = BoardState{};
        run.problem = problem;
        return;
    }
    const int outputs = run.command.outputs ? run.command.outputs : run.state.outputs;
    const bool invert = run.command.invert >= 0 ? run.command.invert == 1 : run.state.invert;
    run.mismatch = read == RecordRead::Found && (outputs != run.state.outputs || invert != run.state.invert);
    if (run.mismatch)
        run.problem = run.command.port + ": the record says " + Describe(run.state.outputs, run.state.invert) +
                      ", the command " + Describe(outputs, invert) +
                      "; a whole VALUE sets every output and replaces the record";
}

int OutputsInForce(const Run& run) {
    return run.command.outputs ? run.command.outputs : run.state.outputs;
}

bool InvertInForce(const Run& run) {
    return run.command.invert >= 0 ? run.command.invert == 1 : run.state.invert;
}

// The state the next transmission starts from. Where no record set the
// width and inversion, the command's are in force.
BoardState StateInForce(const Run& run) {
    return {run.state.value, OutputsInForce(run), InvertInForce(run), run.state.offAt};
}

// Where the service owns the port, its board's width and inversion are
// in force, as a record's would be.
Outcome Greet(Run& run) {
    std::string answer;
    const Outcome greeted = AskService(run, "hello", &answer);
    if (greeted.exitCode != kExitSent) return greeted;
    std::int64_t outputs = 0;
    const std::size_t space = answer.find(' ');
    if (space == std::string::npos || !ParseWholeNumber(answer.substr(0, space), kMostOutputs, &outputs))
        return {kExitFailed, run.command.port + ": octolatchd answered " + Quoted(answer)};
    run.state = {0, static_cast<int>(outputs), answer.substr(space + 1) == "inverted", {}};
    const int given = OutputsInForce(run);
    const bool invert = InvertInForce(run);
    run.mismatch = given != run.state.outputs || invert != run.state.invert;
    run.problem = run.command.port + ": octolatchd owns it with " + Describe(run.state.outputs, run.state.invert) +
                  ", the command says " + Describe(given, invert);
    return Sent();
}

// Checks one step against the state it will meet; a whole value makes the
// state known again. Returns the outcome of a step that may not go ahead.
Outcome CheckRules(const Step& step, Run& run);

Outcome CheckStep(const Step& step, Run& run) {
    const int outputs = OutputsInForce(run);
    if (step.kind == Step::Value) {
        std::uint64_t value = 0;
        if (!ParseValue(step.text, outputs, &value))
            return {kExitBadInput, BadValue(step.text, outputs)};
        // The service's board keeps the width and inversion it was given.
        if (run.link >= 0 && run.mismatch) return {kExitFailed, run.problem};
        run.state = {value, outputs, InvertInForce(run), {}};
        run.known = true;
        run.mismatch = false;
        return CheckRules(step, run);
    }
    for (std::size_t i = 0; i < step.changes.size(); ++i)
        if (step.changes[i].output > outputs)
            return {kExitBadInput, "output " + std::to_string(step.changes[i].output) + " in " +
                                       Quoted(step.items[i]) + " is beyond the " + std::to_string(outputs) +
                                       " outputs in force (see --outputs)"};
    if (!run.known || run.mismatch) return {kExitFailed, run.problem};
    return CheckRules(step, run);
}

Outcome CheckSteps(const std::vector<Step>& steps, Run run) {
    for (const Step& step : steps) {
        const Outcome checked = CheckStep(step, run);
        if (checked.exitCode != kExitSent) return checked;
    }
    return Sent();
}

std::string Record(Run& run, const BoardState& next) {
    const std::string problem = WriteRecord(run.recordPath, next);
    return problem.empty() ? "" : "cannot record the state: " + problem;
}

Outcome Transmit(Run& run, const BoardState& next) {
    const std::uint32_t error = TransmitValue(run.port, next.value, next.outputs, next.invert);
    const std::uint64_t sent = next.invert ? ~next.value : next.value;
    run.breakOn = (sent >> (next.outputs - 1)) & 1;
    run.state = next;
    run.earliest = SerialLine::Clock() + TicksOfMilliseconds(run.command.intervalMs);
    if (run.command.verbose) std::fprintf(stderr, "latched %s\n", FormatValue(next.value, next.outputs).c_str());
    if (error != 0) return {kExitFailed, run.command.port + ": sending failed: " + Reason(error)};
    return Sent();
}

// The rules in force: the service's board on the port where its
// configuration has one, else none but the width.
BoardRules RulesInForce(const Run& run) {
    if (run.definition.found) return run.definition.rules;
    BoardRules rules;
    rules.outputs = OutputsInForce(run);
    return rules;
}

// The plan starts from what the record says is latched, every output off
// since now as far as dead times go: the sender does not know when another
// program switched one off.
Plan& PlanInForce(Run& run, const BoardRules& rules) {
    if (run.plan.offAt.size() != static_cast<std::size_t>(rules.outputs))
        run.plan = StartingPlan(rules, run.state.value & AllOutputs(rules.outputs), NowMs());
    return run.plan;
}

Wish WishOfStep(Run& run, const Step& step, const Plan& plan) {
    const int outputs = OutputsInForce(run);
    if (step.kind != Step::Value) return WishOfChanges(plan, step.changes, outputs);
    std::uint64_t value = 0;
    ParseValue(step.text, outputs, &value);
    return WishOfValue(value, outputs);
}

// The service's rules, checked before anything is sent: no step may switch
// two members of an interlock on, and an output with an auto-off comes on
// only as a pulse, since nothing would end its ON once the sender is gone.
Outcome CheckRules(const Step& step, Run& run) {
    if (!run.definition.found) return Sent();
    const BoardRules& rules = run.definition.rules;
    Plan& plan = PlanInForce(run, rules);
    const Wish wish = WishOfStep(run, step, plan);
    const std::string where = run.command.port + " (board " + Quoted(run.definition.name) + " in " +
                              run.command.configPath + "): ";
    const std::string conflict = InterlockConflict(rules, wish.on);
    if (!conflict.empty()) return {kExitFailed, where + conflict};
    for (int output = 1; output <= rules.outputs; ++output) {
        const std::int64_t autoOff = rules.autoOffMs[static_cast<std::size_t>(output - 1)];
        if (autoOff == 0 || !(wish.on & ~wish.pulse & BitOfOutput(output, rules.outputs))) continue;
        const std::string pulse = std::to_string(output) + "=pulse:" +
                                  std::to_string(autoOff < 3600000 ? autoOff : 3600000) + "ms";
        return {kExitFailed, where + "output " + std::to_string(output) + " goes off by itself after " +
                                 std::to_string(autoOff) + " ms, which the sender cannot do once it has ended: "
                                 "switch it on as a pulse, " + pulse};
    }
    // What the step leaves asked, for the steps after it.
    plan.wanted = (((plan.wanted | plan.waitingOn) & ~wish.off) | wish.on) & ~wish.pulse;
    plan.waitingOn = 0;
    return Sent();
}

// One transmission of what the plan wants, recorded first: if the record
// cannot be written, nothing is sent, except a transmission that only
// switches outputs off (a pulse's end), which goes out even then, and
// even when an interruption arrives while it waits for its interval.
Outcome TransmitPlanned(Run& run, const BoardRules& rules) {
    Plan& plan = run.plan;
    const bool offOnly = (plan.wanted & ~plan.latched) == 0;
    if (!WaitUntil(run.earliest, Interrupted) && !offOnly) return Stopped();
    BoardState next = StateInForce(run);
    next.value = plan.wanted;
    for (auto deadline = next.offAt.begin(); deadline != next.offAt.end();)
        deadline = next.value & BitOfOutput(deadline->first, next.outputs) ? std::next(deadline)
                                                                            : next.offAt.erase(deadline);
    const std::string unrecorded = Record(run, next);
    if (!unrecorded.empty() && !offOnly) return {kExitFailed, unrecorded};
    const Outcome sent = Transmit(run, next);
    if (sent.exitCode != kExitSent) {
        Failed(plan);
        return sent;
    }
    Latched(rules, plan, next.value, NowMsRoundedUp());
    if (!unrecorded.empty()) return {kExitFailed, unrecorded + "; the outputs were switched off, but the record says on"};
    return Sent();
}

// After a failure or an interruption: waiting ONs are dropped and every
// pulse of the step is switched off, so that none is left on. A failed
// transmission is followed by one that restores what the sender last
// latched, without the pulses.
Outcome EndPulses(Run& run, const BoardRules& rules, std::uint64_t pulses, const Outcome& why) {
    Plan& plan = run.plan;
    const bool failed = why.exitCode == kExitFailed;
    Wish stop;
    stop.off = pulses | plan.pulsing | plan.waitingOn;
    Request(rules, plan, stop, NowMs());
    if (plan.wanted == plan.latched && !(failed && pulses)) return why;
    const Outcome ended = TransmitPlanned(run, rules);
    if (ended.exitCode == kExitSent || !failed) return why;
    return {kExitFailed, why.message + "; " + "output " + OutputList(pulses, rules.outputs) + " may still be on"};
}

// Carries one step to the register under the board's rules: its first
// transmission goes out even when the record says its value is there (the
// register cannot be read back), then the ONs a dead
// time holds back and the OFF of each pulse, each when it is due.
Outcome CarryStep(Run& run, const Step& step) {
    const BoardRules rules = RulesInForce(run);
    Plan& plan = PlanInForce(run, rules);
    const Wish wish = WishOfStep(run, step, plan);
    const std::string conflict = Request(rules, plan, wish, NowMsRoundedUp());
    if (!conflict.empty()) return {kExitFailed, run.command.port + ": " + conflict};
    // An ON that only waits for a dead time sends nothing yet.
    Outcome outcome = plan.wanted != plan.latched || plan.waitingOn == 0 ? TransmitPlanned(run, rules) : Sent();
    while (outcome.exitCode == kExitSent && !Interrupted() && (plan.waitingOn | plan.pulsing) != 0) {
        const std::int64_t next = NextDue(rules, plan);
        if (next == 0) break;
        if (!WaitUntil(TicksOfMilliseconds(next), Interrupted)) break;
        Due(rules, plan, NowMs());
        if (plan.wanted != plan.latched) outcome = TransmitPlanned(run, rules);
    }
    if (outcome.exitCode == kExitSent && !Interrupted()) return outcome;
    return EndPulses(run, rules, wish.pulse, Interrupted() && outcome.exitCode == kExitSent ? Stopped() : outcome);
}

// The service that owns the port does the step; the sender reports it as
// if it had sent it itself.
Outcome HandOverStep(Run& run, const Step& step) {
    if (!WaitUntil(run.earliest, Interrupted)) return Stopped();
    std::string request = step.kind == Step::Value ? "value " + step.text : "changes";
    if (step.kind == Step::Pulse)
        request = "pulse " + std::to_string(step.changes[0].output) + " " + std::to_string(step.changes[0].pulseMs);
    else if (step.kind == Step::Changes)
        for (const std::string& item : step.items) request += " " + item;
    std::string answer;
    const Outcome asked = AskService(run, request, &answer);
    if (asked.exitCode != kExitSent) return asked;
    run.earliest = SerialLine::Clock() + TicksOfMilliseconds(run.command.intervalMs);
    for (std::size_t at = 0; run.command.verbose && at < answer.size();) {
        const std::size_t end = std::min(answer.find(' ', at), answer.size());
        std::fprintf(stderr, "latched %s\n", answer.substr(at, end - at).c_str());
        at = end + 1;
    }
    return Sent();
}

Outcome RunStep(Run& run, const Step& step) {
    if (run.link >= 0) return HandOverStep(run, step);
    return CarryStep(run, step);
}

Outcome RunSteps(Run& run, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        if (Interrupted()) return Stopped();
        const Outcome ran = RunStep(run, step);
        if (ran.exitCode != kExitSent) return ran;
    }
    return Interrupted() ? Stopped() : Sent();
}

// Reads one line without its '\n'; false at the end of the input or on a
// failure. A line longer than kLongestArgument is read to its end but kept
// short, and flagged. A UTF-8 byte-order mark before the first line is
// left out.
bool ReadLine(std::FILE* input, bool first, std::string* line, bool* tooLong) {
    line->clear();
    *tooLong = false;
    int c = std::fgetc(input);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = std::fgetc(input)) {
        if (line->size() < kLongestArgument + 1)
            *line += static_cast<char>(c);
        else
            *tooLong = true;
        if (first && *line == "\xEF\xBB\xBF") {
            line->clear();
            first = false;
        }
    }
    *tooLong = *tooLong || line->size() > kLongestArgument;
    return !(c == EOF && std::ferror(input));
}

// The items on a line: separated by blanks, up to a # that starts a comment.
std::vector<std::string> ItemsOfLine(const std::string& line) {
    std::vector<std::string> items;
    std::string item;
    for (const char c : line.substr(0, line.find('#')) + " ") {
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!item.empty()) items.push_back(item);
            item.clear();
        } else {
            item += c;
        }
    }
    return items;
}

Outcome RunLines(Run& run, std::FILE* input) {
    std::string line;
    bool tooLong = false;
    for (int number = 1; ReadLine(input, number == 1, &line, &tooLong); ++number) {
        const std::string where = "line " + std::to_string(number) + ": ";
        if (tooLong)
            return {kExitBadInput, where + "longer than " + std::to_string(kLongestArgument) +
                                       " characters: " + Quoted(line)};
        std::vector<Step> steps;
        const std::string problem = ParseItems(ItemsOfLine(line), &steps);
        if (!problem.empty()) return {kExitBadInput, where + problem};
        const Outcome checked = CheckSteps(steps, run);
        if (checked.exitCode != kExitSent) return {checked.exitCode, where + checked.message};
        const Outcome ran = RunSteps(run, steps);
        if (ran.exitCode != kExitSent) return ran;
    }
    if (Interrupted()) return Stopped();
    if (std::ferror(input))
        return {kExitFailed, std::string("reading standard input: ") + std::strerror(errno)};
    return Sent();
}

// The record named by --state, or the account's record for the port.
std::string RecordPath(const Command& command, std::string* problem) {
    if (!command.statePath.empty()) return command.statePath;
    const std::string directory = StateFiles::AccountDirectory(problem);
    if (directory.empty()) return "";
    return directory + StateFiles::kSeparator + RecordFileName(StablePortPath(command.port));
}

}  // namespace

Outcome OpenPortForSending(const std::string& port, PortHandle* handle) {
    const char* doing = "";
    const std::uint32_t error = OpenAndConfigure(port, handle, &doing);
    if (error != 0) return {kExitFailed, ProblemWith(port, doing, error)};
    return Sent();
}

namespace {

// --get asks for an output the width in force has, of a state known and
// of the width and inversion given.
Outcome CheckGet(const Run& run, int outputs) {
    if (run.command.getOutput > outputs)
        return {kExitBadInput, "output " + std::to_string(run.command.getOutput) + " is beyond the " +
                                   std::to_string(outputs) + " outputs in force (see --outputs)"};
    if (!run.known || run.mismatch) return {kExitFailed, run.problem};
    return Sent();
}

}  // namespace

Outcome GetState(const Command& command) {
    std::string problem;
    Run run(command, RecordPath(command, &problem));
    if (ServiceLink::Connect(ServiceSocketPath(command.port), &run.link)) {
        Outcome outcome = Greet(run);
        if (outcome.exitCode == kExitSent) outcome = CheckGet(run, run.state.outputs);
        std::string answer;
        if (outcome.exitCode == kExitSent)
            outcome = AskService(run, "get " + std::to_string(command.getOutput), &answer);
        ServiceLink::Close(run.link);
        if (outcome.exitCode == kExitSent) outcome.output = answer + "\n";
        return outcome;
    }
    if (run.recordPath.empty()) return {kExitFailed, "cannot read the record: " + problem};
    ReadState(run);
    const int outputs = OutputsInForce(run);
    const Outcome checked = CheckGet(run, outputs);
    if (checked.exitCode != kExitSent) return checked;
    if (command.getOutput == 0) return {kExitSent, "", FormatValue(run.state.value, outputs) + "\n"};
    const bool on = run.state.value & BitOfOutput(command.getOutput, outputs);
    return {kExitSent, "", on ? "on\n" : "off\n"};
}

namespace {

// With the service stopped, the board its configuration defines on the
// port keeps its width and inversion: a command that says otherwise is
// refused, one that says nothing takes them.
Outcome ApplyDefinition(const BoardDefinition& definition, Command* command) {
    if (!definition.found) return Sent();
    const int outputs = definition.rules.outputs;
    const int given = command->outputs ? command->outputs : outputs;
    const bool invert = command->invert >= 0 ? command->invert == 1 : definition.invert;
    if (given != outputs || invert != definition.invert)
        return {kExitFailed, command->port + ": the service's configuration " + command->configPath +
                                 " defines board " + Quoted(definition.name) + " on it with " +
                                 Describe(outputs, definition.invert) + ", the command says " +
                                 Describe(given, invert)};
    command->outputs = outputs;
    command->invert = definition.invert;
    return Sent();
}

}  // namespace

Outcome SendCommand(const Command& given, std::FILE* input) {
    std::string problem;
    Command command = given;
    Run run(command, RecordPath(command, &problem));
    std::vector<Step> steps;
    ParseItems(command.items, &steps);

    // Where the service owns the port, it gets the whole command and
    // nothing else opens the port.
    if (ServiceLink::Connect(ServiceSocketPath(command.port), &run.link)) {
        Outcome outcome = Greet(run);
        if (outcome.exitCode == kExitSent && !command.fromInput) outcome = CheckSteps(steps, run);
        run.earliest = SerialLine::Clock();
        if (outcome.exitCode == kExitSent) outcome = command.fromInput ? RunLines(run, input) : RunSteps(run, steps);
        ServiceLink::Close(run.link);
        return outcome;
    }
    if (run.recordPath.empty()) return {kExitFailed, "cannot record the state: " + problem};
    const std::string unreadable =
        ReadBoardDefinition(command.configPath, command.configGiven, command.port, &run.definition);
    if (!unreadable.empty()) return {kExitFailed, unreadable};
    const Outcome defined = ApplyDefinition(run.definition, &command);
    if (defined.exitCode != kExitSent) return defined;

    const std::int64_t deadline =
        SerialLine::Clock() + command.waitSeconds * SerialLine::ClockTicksPerSecond();
    Outcome outcome = TakeTurn(run, deadline);
    if (outcome.exitCode == kExitSent) {
        // Read only now, with the turn taken: no other sender changes it.
        ReadState(run);
        if (!command.fromInput) outcome = CheckSteps(steps, run);
    }
    if (outcome.exitCode == kExitSent) outcome = OpenPort(run, deadline);
    if (outcome.exitCode == kExitSent) outcome = command.fromInput ? RunLines(run, input) : RunSteps(run, steps);
    Release(run);
    return outcome;
}
