#include "sender/sending.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "board/changes.h"
#include "board/record.h"
#include "board/state_files.h"
#include "board/values.h"
#include "ports/port_opening.h"
#include "ports/port_paths.h"
#include "register/pause.h"
#include "register/transmission.h"
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
Outcome CheckStep(const Step& step, Run& run) {
    const int outputs = OutputsInForce(run);
    if (step.kind == Step::Value) {
        std::uint64_t value = 0;
        if (!ParseValue(step.text, outputs, &value))
            return {kExitBadInput, "bad value " + Quoted(step.text) + ": expected " + ValueForms(outputs)};
        // The service's board keeps the width and inversion it was given.
        if (run.link >= 0 && run.mismatch) return {kExitFailed, run.problem};
        run.state = {value, outputs, InvertInForce(run), {}};
        run.known = true;
        run.mismatch = false;
        return Sent();
    }
    for (std::size_t i = 0; i < step.changes.size(); ++i)
        if (step.changes[i].output > outputs)
            return {kExitBadInput, "output " + std::to_string(step.changes[i].output) + " in " +
                                       Quoted(step.items[i]) + " is beyond the " + std::to_string(outputs) +
                                       " outputs in force (see --outputs)"};
    if (!run.known || run.mismatch) return {kExitFailed, run.problem};
    return Sent();
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

// The record first: if it cannot be written, nothing is sent.
Outcome RecordAndTransmit(Run& run, const BoardState& next) {
    if (!WaitUntil(run.earliest, Interrupted)) return Stopped();
    const std::string problem = Record(run, next);
    if (!problem.empty()) return {kExitFailed, problem};
    return Transmit(run, next);
}

// On, a wait, off. The off goes out even when the wait was interrupted, the
// on failed or the off's record could not be written: a pulse is never
// left on.
Outcome Pulse(Run& run, const Change& change) {
    if (!WaitUntil(run.earliest, Interrupted)) return Stopped();
    BoardState on = StateInForce(run);
    on.value = AppliedChange(on.value, change, on.outputs);
    const std::string unrecordedOn = Record(run, on);
    if (!unrecordedOn.empty()) return {kExitFailed, unrecordedOn};
    const Outcome switchedOn = Transmit(run, on);
    if (switchedOn.exitCode == kExitSent)
        WaitUntil(SerialLine::Clock() + TicksOfMilliseconds(change.pulseMs), Interrupted);

    BoardState off = run.state;
    off.value &= ~BitOfOutput(change.output, off.outputs);
    const std::string unrecordedOff = Record(run, off);
    const Outcome switchedOff = Transmit(run, off);
    const std::string output = "output " + std::to_string(change.output);
    const Outcome& failed = switchedOn.exitCode != kExitSent ? switchedOn : switchedOff;
    if (failed.exitCode != kExitSent) return {kExitFailed, failed.message + "; " + output + " may still be on"};
    if (!unrecordedOff.empty())
        return {kExitFailed, unrecordedOff + "; " + output + " was switched off, but the record says on"};
    return Interrupted() ? Stopped() : Sent();
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
    if (step.kind == Step::Pulse) return Pulse(run, step.changes[0]);
    BoardState next = StateInForce(run);
    if (step.kind == Step::Value) ParseValue(step.text, next.outputs, &next.value);
    for (const Change& change : step.changes) next.value = AppliedChange(next.value, change, next.outputs);
    return RecordAndTransmit(run, next);
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

Outcome SendCommand(const Command& command, std::FILE* input) {
    std::string problem;
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
