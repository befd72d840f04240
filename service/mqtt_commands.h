// The commands a board takes over MQTT: a switch word (ON, OFF, TOGGLE,
// true, false, 1, 0), PULSE and PULSE MS on PREFIX/B/N/set, any VALUE form
// on PREFIX/B/value/set, several outputs ("3=on 5=off") on PREFIX/B/set. A
// command is read whole before anything is done, so that a bad one is
// never half applied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "board/changes.h"
#include "service/configuration.h"

// The longest payload read as a command: a binary value for 64 outputs
// with its 0b, and some blanks around it.
constexpr std::size_t kLongestMqttCommand = 80;
// Several outputs: every output of 64 named once, with blanks.
constexpr std::size_t kLongestMqttItems = 1024;

struct MqttCommand {
    enum Kind { Output, Pulse, Value, Items } kind = Output;
    int output = 0;              // Output and Pulse: 1 to the board's outputs
    Switch action = Switch::On;  // Output: On, Off or Toggle
    std::int64_t pulseMs = 0;    // Pulse
    std::uint64_t value = 0;     // Value
    std::vector<Change> changes; // Items
};

// item is the topic's level between the board and "set": an output number,
// "value", or "" for several outputs. Returns "" or what is wrong, for the
// log and PREFIX/B/error.
std::string ParseMqttCommand(const BoardSettings& board, const std::string& item, const std::string& payload,
                             MqttCommand* command);

// Splits PREFIX/B/ITEM/set into the board's name and ITEM, and PREFIX/B/set
// into the name and ""; false for any other topic.
bool SplitCommandTopic(const std::string& topic, const std::string& prefix, std::string* board, std::string* item);
