#include "board/changes.h"

#include "board/values.h"
#include "register/transmission.h"

namespace {

const char kChangeForms[] =
    "N=on, N=off, N=toggle or N=pulse:DURATION with N from 1 to 64, or all=on, all=off, all=toggle";

std::string Problem(const std::string& text, const std::string& what) {
    return "bad output change " + Quoted(text) + ": " + what;
}

}  // namespace

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
    if (action == "on") {
        change->action = Switch::On;
    } else if (action == "off") {
        change->action = Switch::Off;
    } else if (action == "toggle") {
        change->action = Switch::Toggle;
    } else if (action.compare(0, pulse.size(), pulse) == 0 && change->output != 0) {
        change->action = Switch::Pulse;
        if (!ParseDuration(action.substr(pulse.size()), &change->pulseMs))
            return Problem(text, "the pulse's duration must be " + std::string(kDurationForms));
    } else {
        return Problem(text, std::string("expected ") + kChangeForms);
    }
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
            if (!LooksLikeValue(item))
                return "bad value " + Quoted(item) + ": expected a whole value (161, 0xA1, 0b10100001) " +
                       "or an output change (" + kChangeForms + ")";
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
