#include "sender/arguments.h"

#include "sender/values.h"

const char kUsage[] =
    "usage: octolatch-send [--interval MS] PORT VALUE...\n"
    "       octolatch-send [--interval MS] PORT -\n"
    "       octolatch-send --list\n"
    "       octolatch-send --help | --version\n"
    "\n"
    "Clocks each VALUE into the shift register on PORT, in order, and latches it.\n"
    "With - the values are read from standard input, one per line, each sent as\n"
    "soon as its line arrives; blank lines and lines starting with # are skipped.\n"
    "\n"
    "  PORT           COM3 on Windows; a device such as /dev/ttyUSB0 on Linux\n"
    "                 (a bare ttyUSB0 means /dev/ttyUSB0)\n"
    "  VALUE          a byte: 161, 0xA1 or 0b10100001 (eight digits, box 1 first)\n"
    "  --interval MS  at least MS milliseconds (0 to 3600000) between the end of\n"
    "                 one transmission and the start of the next\n"
    "  --list         print the serial ports found, one per line\n"
    "\n"
    "Exit codes: 0 sent, 1 the port failed, 2 a bad argument or input line.\n";

namespace {

const char kIntervalForm[] = "whole milliseconds, 0 to 3600000";

// "-" alone means standard input and "-5" is a (bad) value, not an option.
bool IsOption(const std::string& argument) {
    return argument.size() > 1 && argument[0] == '-' && !(argument[1] >= '0' && argument[1] <= '9');
}

std::string SetInterval(const std::string& text, Command* command) {
    if (!ParseInterval(text, &command->intervalMs))
        return "bad interval " + Quoted(text) + ": expected " + kIntervalForm;
    return "";
}

}  // namespace

std::string ParseArguments(const std::vector<std::string>& arguments, Command* command) {
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") command->action = Action::Help;
        if (argument == "--version" && command->action != Action::Help)
            command->action = Action::Version;
    }
    if (command->action != Action::Send) return "";

    std::vector<std::string> operands;
    bool list = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--list") {
            list = true;
        } else if (argument == "--interval") {
            if (i + 1 == arguments.size())
                return "missing MS after --interval (" + std::string(kIntervalForm) + ")";
            const std::string problem = SetInterval(arguments[++i], command);
            if (!problem.empty()) return problem;
        } else if (argument.rfind("--interval=", 0) == 0) {
            const std::string problem = SetInterval(argument.substr(11), command);
            if (!problem.empty()) return problem;
        } else if (IsOption(argument)) {
            return "unknown option " + Quoted(argument);
        } else {
            operands.push_back(argument);
        }
    }

    if (list) {
        command->action = Action::List;
        return operands.empty() ? "" : "--list takes no PORT or VALUE, got " + Quoted(operands[0]);
    }
    if (operands.empty()) return "missing PORT";
    if (operands[0].empty()) return "bad PORT '': empty";
    command->port = operands[0];
    if (operands.size() == 1) return "missing VALUE (or - to read values from standard input)";
    if (operands[1] == "-") {
        command->fromInput = true;
        return operands.size() == 2 ? "" : "- reads the values from standard input; unexpected " + Quoted(operands[2]);
    }
    for (std::size_t i = 1; i < operands.size(); ++i) {
        std::uint8_t value = 0;
        if (operands[i] == "-") return "- must be the only VALUE";
        if (!ParseValue(operands[i], &value))
            return "bad value " + Quoted(operands[i]) + ": expected " + kValueForms;
        command->values.push_back(value);
    }
    return "";
}
