// Switching outputs one at a time: the per-output items a user writes, and
// how a list of items falls into transmissions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class Switch { On, Off, Toggle, Pulse };

// "N=on", "N=off", "N=toggle", "N=pulse:DURATION", "all=on", "all=off",
// "all=toggle". Output 0 stands for all; N counts from 1 as the window's
// boxes do.
struct Change {
    int output = 0;
    Switch action = Switch::On;
    std::int64_t pulseMs = 0;
};

// The words every door takes for one output: ON, OFF and TOGGLE, and ON
// and OFF also as true and false, 1 and 0, all in any case. False for any
// other word (PULSE is each door's own).
bool ParseSwitchWord(const std::string& word, Switch* action);
extern const char kSwitchWords[];

// Returns "" or what is wrong with text, quoting it. The action is a
// switch word as above or pulse:DURATION.
std::string ParseChange(const std::string& text, Change* change);

// Several outputs at once, as every door takes them: "3=on 5=off 8=toggle",
// items separated by blanks, each N=WORD or all=WORD for outputs 1 to
// `outputs`. All or nothing: returns "" with every change, in order, or
// the first problem with nothing in changes. Pulses and whole values go
// alone, so they are refused here.
std::string ParseOutputItems(const std::string& text, int outputs, std::vector<Change>* changes);

// value after the change (a pulse's first half: its output on).
std::uint64_t AppliedChange(std::uint64_t value, const Change& change, int outputs);

// One transmission's worth of a command: a whole value, adjacent output
// changes that go out together, or a pulse (on, a wait, off).
struct Step {
    enum Kind { Value, Changes, Pulse } kind = Value;
    std::string text;              // the whole value, as given
    std::vector<Change> changes;   // Changes: in order; Pulse: the one
    std::vector<std::string> items;  // what the user wrote, for messages
};

// Groups items (whole values and per-output changes) into steps. Returns
// "" or the first item's problem: a value checked for its form only (its
// width is known later), a change for its form and an output up to 64.
std::string ParseItems(const std::vector<std::string>& items, std::vector<Step>* steps);

// The highest output a step names; 0 for a whole value and for all=.
int HighestOutput(const Step& step);
