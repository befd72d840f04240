#include "sender/arguments.h"

#include "board/changes.h"
#include "board/values.h"
#include "register/transmission.h"

const char kUsage[] =
    "usage: octolatch-send [OPTION...] PORT ITEM...\n"
    "       octolatch-send [OPTION...] PORT -\n"
    "       octolatch-send [--outputs N] [--invert] [--state FILE] --get PORT [OUTPUT]\n"
    "       octolatch-send --list\n"
    "       octolatch-send --help | --version\n"
    "\n"
    "Sets the outputs of the shift registers on PORT. Each ITEM is a whole VALUE,\n"
    "or a change of one output that keeps the others as they were last sent:\n"
    "  N=on  N=off  N=toggle  N=pulse:DURATION  all=on  all=off  all=toggle\n"
    "Adjacent output changes go out together in one transmission; a VALUE and\n"
    "each pulse are transmissions of their own. With - the items are read from\n"
    "standard input, a line at a time (# starts a comment).\n"
    "\n"
    "  PORT             COM3 on Windows; a device such as /dev/ttyUSB0 on Linux\n"
    "                   (a bare ttyUSB0 means /dev/ttyUSB0)\n"
    "  VALUE            every output: 161, 0xA1 or 0b10100001 (one digit per\n"
    "                   output, output 1 first)\n"
    "  N                an output, from 1 (the first register's QA)\n"
    "  DURATION         500ms, 2s, 1m ... from 1 ms to 1 h; the output goes off after it\n"
    "  --outputs N      N outputs on chained registers: 8, 16, ... 64\n"
    "  --invert         for an interface that inverts every line\n"
    "  --no-invert      for one that does not (the default)\n"
    "  --state FILE     keep the record of the outputs in FILE\n"
    "  --config FILE    the service's configuration (default\n"
    "                   /etc/octolatch/octolatchd.toml): with the service stopped,\n"
    "                   the board it defines on PORT keeps its width, inversion,\n"
    "                   interlocks and auto-off outputs (Linux)\n"
    "  --wait SECONDS   wait up to SECONDS (0 to 3600, default 10) while another\n"
    "                   program uses the port\n"
    "  --interval MS    at least MS milliseconds (0 to 3600000) between the end of\n"
    "                   one transmission and the start of the next\n"
    "  --verbose        print each latched value on standard error\n"
    "  --get            print the value last sent to PORT, or OUTPUT's state (on, off)\n"
    "  --list           print the serial ports found, one per line\n"
    "  --               ends the options\n"
    "\n"
    "--outputs and --invert, when left out, mean what the record says.\n"
    "Exit codes: 0 sent, 1 the port, the record or the configuration failed, or\n"
    "a board's rule refused the change, 2 a bad argument or input line,\n"
    "128 + N ended by signal N.\n";

namespace {

const char kIntervalForm[] = "whole milliseconds, 0 to 3600000";
const char kWaitForm[] = "whole seconds, 0 to 3600";

// "-" alone means standard input and "-5" is a (bad) value, not an option.
bool IsOption(const std::string& argument) {
    return argument.size() > 1 && argument[0] == '-' && !(argument[1] >= '0' && argument[1] <= '9');
}

// The options that take a value, and what they do with it.
std::string SetOption(const std::string& name, const std::string& text, Command* command) {
    if (name == "--interval") {
        if (!ParseWholeNumber(text, 3600000, &command->intervalMs))
            return "bad interval " + Quoted(text) + ": expected " + kIntervalForm;
    } else if (name == "--wait") {
        if (!ParseWholeNumber(text, 3600, &command->waitSeconds))
            return "bad wait " + Quoted(text) + ": expected " + kWaitForm;
    } else if (name == "--outputs") {
        if (!ParseOutputCount(text, &command->outputs))
            return "bad output count " + Quoted(text) + ": expected " + kOutputCountForms;
    } else if (name == "--state") {
        if (text.empty()) return "bad state file '': empty";
        command->statePath = text;
    } else if (name == "--config") {
        if (text.empty()) return "bad configuration file '': empty";
        command->configPath = text;
        command->configGiven = true;
    }
    return "";
}

bool TakesValue(const std::string& name) {
    return name == "--interval" || name == "--wait" || name == "--outputs" || name == "--state" ||
           name == "--config";
}

std::string MissingValue(const std::string& name) {
    if (name == "--interval") return "missing MS after --interval (" + std::string(kIntervalForm) + ")";
    if (name == "--wait") return "missing SECONDS after --wait (" + std::string(kWaitForm) + ")";
    if (name == "--outputs") return "missing N after --outputs (" + std::string(kOutputCountForms) + ")";
    if (name == "--config") return "missing FILE after --config";
    return "missing FILE after --state";
}

std::string ParseGet(const std::vector<std::string>& operands, Command* command) {
    if (operands.empty()) return "missing PORT after --get";
    if (operands.size() > 2) return "--get takes PORT and at most one OUTPUT, got " + Quoted(operands[2]);
    command->port = operands[0];
    std::int64_t output = 0;
    if (operands.size() == 2 && !(ParseWholeNumber(operands[1], kMostOutputs, &output) && output >= 1))
        return "bad output " + Quoted(operands[1]) + ": expected a number from 1 to 64";
    command->getOutput = static_cast<int>(output);
    return "";
}

}  // namespace

std::string ParseArguments(const std::vector<std::string>& arguments, Command* command) {
    bool optionsEnded = false;
    for (const std::string& argument : arguments) {
        optionsEnded = optionsEnded || argument == "--";
        if (optionsEnded) continue;
        if (argument == "--help" || argument == "-h") command->action = Action::Help;
        if (argument == "--version" && command->action != Action::Help) command->action = Action::Version;
    }
    if (command->action != Action::Send) return "";

    std::vector<std::string> operands;
    bool list = false, get = false;
    optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() > kLongestArgument)
            return "argument of " + std::to_string(argument.size()) + " characters refused (" +
                   std::to_string(kLongestArgument) + " at most): " + Quoted(argument);
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        std::string problem;
        if (optionsEnded || !IsOption(argument)) {
            operands.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (TakesValue(name) && equals != std::string::npos) {
            problem = SetOption(name, argument.substr(equals + 1), command);
        } else if (TakesValue(argument)) {
            if (i + 1 == arguments.size()) return MissingValue(argument);
            problem = SetOption(argument, arguments[++i], command);
        } else if (argument == "--list") {
            list = true;
        } else if (argument == "--get") {
            get = true;
        } else if (argument == "--invert" || argument == "--no-invert") {
            command->invert = argument == "--invert";
        } else if (argument == "--verbose") {
            command->verbose = true;
        } else {
            problem = "unknown option " + Quoted(argument);
        }
        if (!problem.empty()) return problem;
    }

    if (list) {
        command->action = Action::List;
        return operands.empty() ? "" : "--list takes no PORT or VALUE, got " + Quoted(operands[0]);
    }
    if (get) {
        command->action = Action::Get;
        return ParseGet(operands, command);
    }
    if (operands.empty()) return "missing PORT";
    if (operands[0].empty()) return "bad PORT '': empty";
    command->port = operands[0];
    if (operands.size() == 1) return "missing VALUE or output change (or - to read them from standard input)";
    if (operands[1] == "-") {
        command->fromInput = true;
        return operands.size() == 2 ? "" : "- reads the items from standard input; unexpected " + Quoted(operands[2]);
    }
    command->items.assign(operands.begin() + 1, operands.end());
    for (const std::string& item : command->items)
        if (item == "-") return "- must be the only item";
    std::vector<Step> steps;
    return ParseItems(command->items, &steps);
}
