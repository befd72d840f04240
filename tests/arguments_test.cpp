#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sender/arguments.h"

namespace {

using Arguments = std::vector<std::string>;
using Items = std::vector<std::string>;

TEST(ParseArguments, AcceptedCommands) {
    struct Row {
        Arguments arguments;
        Action action;
        std::string port;
        Items items = {};
        bool fromInput = false;
        std::int64_t intervalMs = 0;
        int outputs = 0;
        int invert = -1;
        std::int64_t waitSeconds = 10;
        int getOutput = 0;
        std::string configPath = kServiceConfiguration;
    } rows[] = {
        {{"COM3", "161"}, Action::Send, "COM3", {"161"}},
        {{"/dev/ttyUSB0", "1", "0x02", "0b00000100"}, Action::Send, "/dev/ttyUSB0", {"1", "0x02", "0b00000100"}},
        {{"--interval", "250", "ttyUSB0", "0", "255"}, Action::Send, "ttyUSB0", {"0", "255"}, false, 250},
        {{"--interval=0", "COM3", "-"}, Action::Send, "COM3", {}, true},
        {{"COM3", "1", "--interval", "9"}, Action::Send, "COM3", {"1"}, false, 9},
        {{"COM3", "3=on", "5=off", "0xA1", "2=pulse:2s"}, Action::Send, "COM3", {"3=on", "5=off", "0xA1", "2=pulse:2s"}},
        {{"--outputs", "16", "--invert", "COM3", "0x8080"}, Action::Send, "COM3", {"0x8080"}, false, 0, 16, 1},
        {{"--outputs=64", "--no-invert", "COM3", "all=on"}, Action::Send, "COM3", {"all=on"}, false, 0, 64, 0},
        {{"--wait", "0", "COM3", "1"}, Action::Send, "COM3", {"1"}, false, 0, 0, -1, 0},
        {{"--wait=3600", "COM3", "1"}, Action::Send, "COM3", {"1"}, false, 0, 0, -1, 3600},
        {{"--", "-port", "1"}, Action::Send, "-port", {"1"}},
        {{"--get", "COM3"}, Action::Get, "COM3"},
        {{"COM3", "--get", "7"}, Action::Get, "COM3", {}, false, 0, 0, -1, 10, 7},
        {{"--outputs", "16", "--get", "COM3", "16"}, Action::Get, "COM3", {}, false, 0, 16, -1, 10, 16},
        {{"--config", "/srv/o.toml", "COM3", "1"}, Action::Send, "COM3", {"1"}, false, 0, 0, -1, 10, 0, "/srv/o.toml"},
        {{"--config=o.toml", "COM3", "1"}, Action::Send, "COM3", {"1"}, false, 0, 0, -1, 10, 0, "o.toml"},
        {{"--list"}, Action::List, ""},
        {{"--help"}, Action::Help, ""},
        {{"-h"}, Action::Help, ""},
        {{"COM3", "bad", "--help"}, Action::Help, ""},
        {{"--version"}, Action::Version, ""},
        {{"--version", "--help"}, Action::Help, ""},
        {{"--help", "--version"}, Action::Help, ""},
    };
    for (const Row& row : rows) {
        Command command;
        const std::string joined = testing::PrintToString(row.arguments);
        EXPECT_EQ(ParseArguments(row.arguments, &command), "") << joined;
        EXPECT_EQ(command.action, row.action) << joined;
        if (row.action != Action::Send && row.action != Action::Get) continue;
        EXPECT_EQ(command.port, row.port) << joined;
        EXPECT_EQ(command.items, row.items) << joined;
        EXPECT_EQ(command.fromInput, row.fromInput) << joined;
        EXPECT_EQ(command.intervalMs, row.intervalMs) << joined;
        EXPECT_EQ(command.outputs, row.outputs) << joined;
        EXPECT_EQ(command.invert, row.invert) << joined;
        EXPECT_EQ(command.waitSeconds, row.waitSeconds) << joined;
        EXPECT_EQ(command.getOutput, row.getOutput) << joined;
        EXPECT_EQ(command.configPath, row.configPath) << joined;
        EXPECT_EQ(command.configGiven, row.configPath != kServiceConfiguration) << joined;
    }
}

TEST(ParseArguments, RefusedCommandsSayWhatIsWrong) {
    const std::string anyValue = "expected a whole value (161, 0xA1, 0b10100001) or an output change";
    struct Row {
        Arguments arguments;
        std::string problem;  // the start of it
    } rows[] = {
        {{}, "missing PORT"},
        {{"COM3"}, "missing VALUE or output change (or - to read them from standard input)"},
        {{"--interval", "5"}, "missing PORT"},
        {{"", "1"}, "bad PORT '': empty"},
        {{"COM3", "x"}, "bad value 'x': " + anyValue},
        {{"COM3", "-1"}, "bad value '-1': " + anyValue},
        {{"COM3", "0b101000011"}, "bad value '0b101000011': a binary value needs one digit per output"},
        {{"COM3", "--", "--help"}, "bad value '--help'"},
        {{"COM3", "1", "-"}, "- must be the only item"},
        {{"COM3", "-", "1"}, "- reads the items from standard input; unexpected '1'"},
        {{"--frobnicate", "COM3", "1"}, "unknown option '--frobnicate'"},
        {{"-x", "COM3", "1"}, "unknown option '-x'"},
        {{"COM3", "1", "--interval"}, "missing MS after --interval (whole milliseconds, 0 to 3600000)"},
        {{"--interval", "-5", "COM3", "1"}, "bad interval '-5': expected whole milliseconds, 0 to 3600000"},
        {{"--interval=1.5", "COM3", "1"}, "bad interval '1.5': expected whole milliseconds, 0 to 3600000"},
        {{"--interval", "3600001", "COM3", "1"}, "bad interval '3600001'"},
        {{"--outputs", "12", "COM3", "1"}, "bad output count '12': expected 8 to 64 in steps of 8"},
        {{"--outputs", "72", "COM3", "1"}, "bad output count '72': expected 8 to 64 in steps of 8"},
        {{"COM3", "1", "--outputs"}, "missing N after --outputs (8 to 64 in steps of 8)"},
        {{"--wait", "3601", "COM3", "1"}, "bad wait '3601': expected whole seconds, 0 to 3600"},
        {{"--wait", "-1", "COM3", "1"}, "bad wait '-1'"},
        {{"--state", "", "COM3", "1"}, "bad state file '': empty"},
        {{"--config", "", "COM3", "1"}, "bad configuration file '': empty"},
        {{"COM3", "1", "--config"}, "missing FILE after --config"},
        {{"COM3", "0=on"}, "bad output change '0=on': the output must be a number from 1 to 64, or all"},
        {{"COM3", "65=on"}, "bad output change '65=on'"},
        {{"COM3", "3=blink"}, "bad output change '3=blink': expected N=on"},
        {{"COM3", "3=pulse:500"}, "bad output change '3=pulse:500': the pulse's duration must be"},
        {{"--get"}, "missing PORT after --get"},
        {{"--get", "COM3", "0"}, "bad output '0': expected a number from 1 to 64"},
        {{"--get", "COM3", "65"}, "bad output '65'"},
        {{"--get", "COM3", "1", "2"}, "--get takes PORT and at most one OUTPUT, got '2'"},
        {{"--list", "COM3"}, "--list takes no PORT or VALUE, got 'COM3'"},
        {{"COM3", std::string(257, '1')},
         "argument of 257 characters refused (256 at most): '" + std::string(40, '1') + "'..."},
        {{std::string(120000, '\x7f'), "1"},
         "argument of 120000 characters refused (256 at most): '" + [] {
             std::string escaped;
             for (int i = 0; i < 40; ++i) escaped += "\\x7F";
             return escaped;
         }() + "'..."},
    };
    for (const Row& row : rows) {
        Command command;
        const std::string problem = ParseArguments(row.arguments, &command);
        EXPECT_EQ(problem.substr(0, row.problem.size()), row.problem)
            << testing::PrintToString(row.arguments).substr(0, 80);
    }
    Command command;
    EXPECT_EQ(ParseArguments({"COM3", std::string(256, '1')}, &command).find("characters refused"),
              std::string::npos) << "256 characters is the longest argument accepted";
}

}  // namespace
