#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sender/arguments.h"

namespace {

using Arguments = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

TEST(ParseArguments, AcceptedCommands) {
    struct Row {
        Arguments arguments;
        Action action;
        std::string port;
        Bytes values;
        bool fromInput;
        std::int64_t intervalMs;
    } rows[] = {
        {{"COM3", "161"}, Action::Send, "COM3", {161}, false, 0},
        {{"/dev/ttyUSB0", "1", "0x02", "0b00000100"}, Action::Send, "/dev/ttyUSB0", {1, 2, 4}, false, 0},
        {{"--interval", "250", "ttyUSB0", "0", "255"}, Action::Send, "ttyUSB0", {0, 255}, false, 250},
        {{"--interval=0", "COM3", "-"}, Action::Send, "COM3", {}, true, 0},
        {{"COM3", "1", "--interval", "9"}, Action::Send, "COM3", {1}, false, 9},
        {{"COM3", "-"}, Action::Send, "COM3", {}, true, 0},
        {{"--list"}, Action::List, "", {}, false, 0},
        {{"--help"}, Action::Help, "", {}, false, 0},
        {{"-h"}, Action::Help, "", {}, false, 0},
        {{"COM3", "bad", "--help"}, Action::Help, "", {}, false, 0},
        {{"--version"}, Action::Version, "", {}, false, 0},
        {{"--version", "--help"}, Action::Help, "", {}, false, 0},
    };
    for (const Row& row : rows) {
        Command command;
        const std::string joined = testing::PrintToString(row.arguments);
        EXPECT_EQ(ParseArguments(row.arguments, &command), "") << joined;
        EXPECT_EQ(command.action, row.action) << joined;
        if (row.action != Action::Send) continue;
        EXPECT_EQ(command.port, row.port) << joined;
        EXPECT_EQ(command.values, row.values) << joined;
        EXPECT_EQ(command.fromInput, row.fromInput) << joined;
        EXPECT_EQ(command.intervalMs, row.intervalMs) << joined;
    }
}

TEST(ParseArguments, RefusedCommandsSayWhatIsWrong) {
    struct Row {
        Arguments arguments;
        std::string problem;
    } rows[] = {
        {{}, "missing PORT"},
        {{"COM3"}, "missing VALUE (or - to read values from standard input)"},
        {{"--interval", "5"}, "missing PORT"},
        {{"", "1"}, "bad PORT '': empty"},
        {{"COM3", "256"}, "bad value '256': expected a byte, 0 to 255, as decimal (161), "
                          "hexadecimal (0xA1) or eight binary digits, box 1 first (0b10100001)"},
        {{"COM3", "1", "2", "x"}, "bad value 'x': expected a byte, 0 to 255, as decimal (161), "
                                  "hexadecimal (0xA1) or eight binary digits, box 1 first (0b10100001)"},
        {{"COM3", "-1"}, "bad value '-1': expected a byte, 0 to 255, as decimal (161), "
                         "hexadecimal (0xA1) or eight binary digits, box 1 first (0b10100001)"},
        {{"COM3", "1", "-"}, "- must be the only VALUE"},
        {{"COM3", "-", "1"}, "- reads the values from standard input; unexpected '1'"},
        {{"--frobnicate", "COM3", "1"}, "unknown option '--frobnicate'"},
        {{"-x", "COM3", "1"}, "unknown option '-x'"},
        {{"COM3", "1", "--interval"}, "missing MS after --interval (whole milliseconds, 0 to 3600000)"},
        {{"--interval", "-5", "COM3", "1"}, "bad interval '-5': expected whole milliseconds, 0 to 3600000"},
        {{"--interval=1.5", "COM3", "1"}, "bad interval '1.5': expected whole milliseconds, 0 to 3600000"},
        {{"--interval", "3600001", "COM3", "1"},
         "bad interval '3600001': expected whole milliseconds, 0 to 3600000"},
        {{"--list", "COM3"}, "--list takes no PORT or VALUE, got 'COM3'"},
    };
    for (const Row& row : rows) {
        Command command;
        EXPECT_EQ(ParseArguments(row.arguments, &command), row.problem)
            << testing::PrintToString(row.arguments);
    }
}

}  // namespace
