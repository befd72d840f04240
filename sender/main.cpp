// octolatch-send: clocks bytes into the shift register from scripts.
// The story: read the arguments and check all of them, open and lock the
// port, send, close; every failure is one line on standard error.
#include <cstdio>
#include <string>
#include <vector>

#include "ports/port_listing.h"
#include "sender/arguments.h"
#include "sender/sending.h"

namespace {

constexpr char kName[] = "octolatch-send";

int Finish(const Outcome& outcome) {
    if (!outcome.message.empty()) std::fprintf(stderr, "%s: %s\n", kName, outcome.message.c_str());
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
        case Action::Send:
            break;
    }

    PortHandle port = {};
    const Outcome opened = OpenPortForSending(command.port, &port);
    if (opened.exitCode != kExitSent) return Finish(opened);
    const Outcome sent =
        command.fromInput ? SendInputLines(port, command.port, stdin, command.intervalMs)
                          : SendValues(port, command.port, command.values, command.intervalMs);
    SerialLine::Close(port);
    return Finish(sent);
}
