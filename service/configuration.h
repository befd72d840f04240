// What the service is told: its TOML file and its command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board/rules.h"

enum class PowerOn { Off, On, Last };

struct OutputSettings {
    std::string name;              // "" when unnamed
    PowerOn powerOn = PowerOn::Last;
    std::int64_t pulseMs = 0;      // 0: none (a pulse then needs its length)
    std::int64_t autoOffMs = 0;    // 0: none; else every ON ends with an OFF after this long
};

// [[board.interlock]]: at most one of these outputs is ever on.
struct InterlockSettings {
    std::vector<int> outputs;
    std::int64_t deadTimeMs = 0;
};

struct BoardSettings {
    std::string name;
    std::string port;
    int outputs = 8;
    bool invert = false;
    std::vector<OutputSettings> output;  // one per output, output 1 first
    std::vector<InterlockSettings> interlocks;
};

// The board's rules as the decision function takes them.
BoardRules RulesOf(const BoardSettings& board);

struct MqttSettings {
    bool enabled = false;
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string username;
    std::string passwordFile;
    std::string caFile;
    std::string certificateFile;
    std::string keyFile;
    std::string clientId;          // "" until the default is made
    std::string topicPrefix = "octolatch";
    std::string discoveryPrefix = "homeassistant";
};

struct Configuration {
    std::string listen = "127.0.0.1:8080";
    std::string tokenFile;
    bool tokenFileGiven = false;  // token_file = "" opts out of the service's own token
    std::string stateDirectory;   // "" until the default is made
    std::vector<BoardSettings> boards;
    MqttSettings mqtt;
};

// Reads the file; every problem is added to problems as "FILE:LINE: what".
Configuration ReadConfiguration(const std::string& path, std::vector<std::string>* problems);

// One board named "board" on port, with the defaults.
Configuration ConfigurationForPort(const std::string& port);

// A board name may hold a-z, 0-9, '_' and '-'.
bool IsBoardName(const std::string& name);
