// octolatch-send: sets the outputs of the shift registers from scripts.
// The story: make the standard streams safe, read the arguments and check
// all of them, take the port's turn, read the record, open the port, send,
// release everything; every failure is one line on standard error.
#include <cstdio>
#include <string>
#include <vector>

#include "ports/port_listing.h"
#include "sender/arguments.h"
#include "sender/interruption.h"
#include "sender/sending.h"

namespace {

constexpr char kName[] = "octolatch-send";

int Finish(const Outcome& outcome) {
    std::fputs(outcome.output.c_str(), stdout);
    if (!outcome.message.empty()) std::fprintf(stderr, "%s: %s\n", kName, outcome.message.c_str());
    InterruptionsHandled();
    return outcome.exitCode;
}

int ListPorts() {
#ifdef _WIN32
    const std::vector<std::string> ports = ListComPorts();
#else
    const std::vector<std::string> ports = ListTtyPorts("");
#endif
    for (const std::string& port : ports) std::printf("%s\n", port.c_str());
    return Finish(ports.empty() ? Outcome{kExitFailed, "no serial ports found"} : Outcome{kExitSent, ""});
}

}  // namespace

int main(int argc, char** argv) {
    MakeStandardStreamsValid();
    Command command;
    const std::string problem = ParseArguments({argv + 1, argv + argc}, &command);
    if (!problem.empty()) {
        std::fprintf(stderr, "%s: %s\n%s: try '%s --help'\n", kName, problem.c_str(), kName, kName);
        return kExitBadInput;
    }
    switch (command.action) {
        case Action::Help:
            std::fputs(kUsage, stdout);
            return kExitSent;
        case Action::Version:
            std::printf("%s %s\n", kName, OCTOLATCH_VERSION);
            return kExitSent;
        case Action::List:
            return ListPorts();
        case Action::Get:
            return Finish(GetState(command));
        case Action::Send:
            break;
    }
    CatchInterruptions();
    return Finish(SendCommand(command, stdin));
}
