// The commands a board takes over MQTT: ON, OFF, TOGGLE, PULSE and
// PULSE MS on PREFIX/B/N/set, any VALUE form on PREFIX/B/value/set. A
// command is read whole before anything is done, so that a bad one is
// never half applied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "board/changes.h"
#include "service/configuration.h"

// The longest payload read as a command: a binary value for 64 outputs
// with its 0b, and some blanks around it.
constexpr std::size_t kLongestMqttCommand = 80;

struct MqttCommand {
    enum Kind { Output, Pulse, Value } kind = Output;
    int output = 0;              // Output and Pulse: 1 to the board's outputs
    Switch action = Switch::On;  // Output: On, Off or Toggle
    std::int64_t pulseMs = 0;    // Pulse
    std::uint64_t value = 0;     // Value
};

// item is the topic's level between the board and "set": an output number
// or "value". Returns "" or what is wrong, for the log and PREFIX/B/error.
std::string ParseMqttCommand(const BoardSettings& board, const std::string& item, const std::string& payload,
                             MqttCommand* command);

// Splits PREFIX/B/ITEM/set into the board's name and ITEM; false for any
// other topic.
bool SplitCommandTopic(const std::string& topic, const std::string& prefix, std::string* board, std::string* item);
