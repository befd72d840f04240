#include "board/changes.h"

#include <algorithm>

#include "board/output_bits.h"
#include "board/values.h"

namespace {

const char kChangeForms[] =
    "N=on, N=off, N=toggle or N=pulse:DURATION with N from 1 to 64, or all=on, all=off, all=toggle "
    "(on and off also as true and false, 1 and 0, in any case)";

std::string Problem(const std::string& text, const std::string& what) {
    return "bad output change " + Quoted(text) + ": " + what;
}

std::string Lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

}  // namespace

const char kSwitchWords[] = "ON, OFF, TOGGLE, true, false, 1 or 0 (in any case)";

bool ParseSwitchWord(const std::string& word, Switch* action) {
    const std::string lowered = Lowered(word);
    if (lowered == "on" || lowered == "true" || lowered == "1")
        *action = Switch::On;
    else if (lowered == "off" || lowered == "false" || lowered == "0")
        *action = Switch::Off;
    else if (lowered == "toggle")
        *action = Switch::Toggle;
    else
        return false;
    return true;
}

std::string ParseChange(const std::string& text, Change* change) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) return Problem(text, std::string("expected ") + kChangeForms);
    const std::string output = text.substr(0, equals);
    const std::string action = text.substr(equals + 1);
    std::int64_t number = 0;
    if (output == "all") {
        change->output = 0;
    } else if (ParseWholeNumber(output, kMostOutputs, &number) && number >= 1) {
        change->output = static_cast<int>(number);
    } else {
        return Problem(text, "the output must be a number from 1 to 64, or all");
    }

    const std::string pulse = "pulse:";
    if (ParseSwitchWord(action, &change->action)) {
        change->pulseMs = 0;
    } else if (action.compare(0, pulse.size(), pulse) == 0 && change->output != 0) {
        change->action = Switch::Pulse;
        if (!ParseDuration(action.substr(pulse.size()), &change->pulseMs))
            return Problem(text, "the pulse's duration must be " + std::string(kDurationForms));
    } else {
        return Problem(text, std::string("expected ") + kChangeForms);
    }
    return "";
}

std::string ParseOutputItems(const std::string& text, int outputs, std::vector<Change>* changes) {
    std::vector<Change> read;
    for (std::size_t at = text.find_first_not_of(" \t\r\n"); at != std::string::npos;
         at = text.find_first_not_of(" \t\r\n", at)) {
        const std::size_t end = std::min(text.find_first_of(" \t\r\n", at), text.size());
        const std::string item = text.substr(at, end - at);
        at = end;
        Change change;
        if (item.find('=') == std::string::npos)
            return "bad item " + Quoted(item) + ": expected N=WORD or all=WORD, WORD one of " + kSwitchWords;
        const std::string problem = ParseChange(item, &change);
        if (!problem.empty()) return problem;
        if (change.action == Switch::Pulse)
            return "bad item " + Quoted(item) + ": a pulse goes alone, not among several outputs";
        if (change.output > outputs)
            return "bad item " + Quoted(item) + ": the board has outputs 1 to " + std::to_string(outputs);
        read.push_back(change);
    }
    if (read.empty()) return "no items: expected N=WORD ..., as 3=on 5=off 8=toggle";
    *changes = read;
    return "";
}

std::uint64_t AppliedChange(std::uint64_t value, const Change& change, int outputs) {
    const std::uint64_t bits =
        change.output == 0 ? AllOutputs(outputs) : BitOfOutput(change.output, outputs);
    switch (change.action) {
        case Switch::On:
        case Switch::Pulse:
            return value | bits;
        case Switch::Off:
            return value & ~bits;
        case Switch::Toggle:
            return value ^ bits;
    }
    return value;
}

std::string ParseItems(const std::vector<std::string>& items, std::vector<Step>* steps) {
    bool merging = false;  // the last step takes further changes
    for (const std::string& item : items) {
        if (item.find('=') == std::string::npos) {
            if (!LooksLikeValue(item)) {
                const std::string binary = BadValue(item, 0);
                if (!binary.empty()) return binary;
                return "bad value " + Quoted(item) + ": expected a whole value (161, 0xA1, 0b10100001) " +
                       "or an output change (" + kChangeForms + ")";
            }
            steps->push_back({Step::Value, item, {}, {item}});
            merging = false;
            continue;
        }
        Change change;
        const std::string problem = ParseChange(item, &change);
        if (!problem.empty()) return problem;
        if (change.action == Switch::Pulse) {
            steps->push_back({Step::Pulse, "", {change}, {item}});
            merging = false;
        } else if (merging) {
            steps->back().changes.push_back(change);
            steps->back().items.push_back(item);
        } else {
            steps->push_back({Step::Changes, "", {change}, {item}});
            merging = true;
        }
    }
    return "";
}

int HighestOutput(const Step& step) {
    int highest = 0;
    for (const Change& change : step.changes)
        if (change.output > highest) highest = change.output;
    return highest;
}
