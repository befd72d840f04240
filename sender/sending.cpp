#include "sender/sending.h"

#include <cerrno>
#include <cstring>

#include "ports/port_settings.h"
#include "register/output.h"
#include "register/pause.h"
#include "sender/values.h"

namespace {

// A value line is a few characters; a longer line is refused, not cut.
constexpr std::size_t kLongestLine = 256;

// The system's words for an error code, without the line end some add.
std::string Reason(std::uint32_t code) {
    std::string text = SerialLine::ErrorText(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : text;
}

std::string ProblemWith(const std::string& port, const char* doing, std::uint32_t code) {
    switch (SerialLine::KindOfError(code)) {
        case PortError::NotFound:
            return port + ": no such port";
        case PortError::Busy:
            return port + ": port busy: another program is using it";
        case PortError::NotSerial:
            return port + ": not a serial port";
        case PortError::Denied: {
            const std::string group = SerialLine::AccessGroup(DevicePath(port).c_str());
            if (group.empty()) return port + ": permission denied";
            return port + ": permission denied; members of the group '" + group +
                   "' may use it (sudo usermod -aG " + group + " $USER, then log in again)";
        }
        case PortError::Other:
            break;
    }
    return port + ": cannot " + doing + ": " + Reason(code);
}

std::int64_t TicksOfMilliseconds(std::int64_t milliseconds) {
    return milliseconds * SerialLine::ClockTicksPerSecond() / 1000;
}

// Sends one value no sooner than *earliest, and moves *earliest on by the
// interval from the end of this transmission.
Outcome Send(PortHandle handle, const std::string& port, std::uint8_t value,
             std::int64_t intervalMs, std::int64_t* earliest) {
    WaitUntil(*earliest);
    OutputByte = value;
    const std::uint32_t error = TransmitByte(handle);
    *earliest = SerialLine::Clock() + TicksOfMilliseconds(intervalMs);
    if (error != 0) return {kExitFailed, port + ": sending failed: " + Reason(error)};
    return {kExitSent, ""};
}

// Reads one line without its '\n'; false at the end of the input. A line
// longer than kLongestLine is read to its end but kept short, and flagged.
bool ReadLine(std::FILE* input, std::string* line, bool* tooLong) {
    line->clear();
    *tooLong = false;
    int c = std::fgetc(input);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = std::fgetc(input)) {
        if (line->size() < kLongestLine)
            *line += static_cast<char>(c);
        else
            *tooLong = true;
    }
    return true;
}

}  // namespace

std::string DevicePath(const std::string& port) {
    if (port.find_first_of(kPathSeparators) != std::string::npos) return port;
    return kDeviceDirectory + port;
}

Outcome OpenPortForSending(const std::string& port, PortHandle* handle) {
    const std::string path = DevicePath(port);
    if (!SerialLine::Open(path.c_str(), handle))
        return {kExitFailed, ProblemWith(port, "open it", SerialLine::LastError())};
    const char* doing = "lock it";
    std::uint32_t error = SerialLine::Lock(*handle) ? 0 : SerialLine::LastError();
    if (error == 0) {
        doing = "configure it";
        error = ConfigurePort(*handle);
    }
    if (error == 0) return {kExitSent, ""};
    SerialLine::Close(*handle);
    return {kExitFailed, ProblemWith(port, doing, error)};
}

Outcome SendValues(PortHandle handle, const std::string& port,
                   const std::vector<std::uint8_t>& values, std::int64_t intervalMs) {
    std::int64_t earliest = SerialLine::Clock();
    for (const std::uint8_t value : values) {
        const Outcome sent = Send(handle, port, value, intervalMs, &earliest);
        if (sent.exitCode != kExitSent) return sent;
    }
    return {kExitSent, ""};
}

Outcome SendInputLines(PortHandle handle, const std::string& port, std::FILE* input,
                       std::int64_t intervalMs) {
    std::int64_t earliest = SerialLine::Clock();
    std::string line;
    bool tooLong = false;
    for (int number = 1; ReadLine(input, &line, &tooLong); ++number) {
        const std::string text = ValueTextOfLine(line);
        std::uint8_t value = 0;
        if (tooLong)
            return {kExitBadInput, "line " + std::to_string(number) + ": longer than " +
                                       std::to_string(kLongestLine) + " characters: " +
                                       Quoted(line.substr(0, 40)) + "..."};
        if (text.empty()) continue;
        if (!ParseValue(text, &value))
            return {kExitBadInput, "line " + std::to_string(number) + ": bad value " + Quoted(text) +
                                       ": expected " + kValueForms};
        const Outcome sent = Send(handle, port, value, intervalMs, &earliest);
        if (sent.exitCode != kExitSent) return sent;
    }
    if (std::ferror(input))
        return {kExitFailed, std::string("reading standard input: ") + std::strerror(errno)};
    return {kExitSent, ""};
}
