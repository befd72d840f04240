#include "board/record.h"

#include <algorithm>
#include <cstdint>

#include "board/output_bits.h"
#include "board/state_files.h"
#include "board/values.h"

namespace {

std::string AutoOffLines(const BoardState& state) {
    std::string lines;
    for (const auto& [output, deadline] : state.offAt)
        lines += "auto_off " + std::to_string(output) + " " + std::to_string(deadline) + "\n";
    return lines;
}

}  // namespace

std::string FormatRecord(const BoardState& state) {
    return "# octolatch: the outputs last sent to this port\n"
           "value " + FormatValue(state.value, state.outputs) + "\n" +
           "outputs " + std::to_string(state.outputs) + "\n" +
           "invert " + (state.invert ? "yes" : "no") + "\n" + AutoOffLines(state);
}

// Every field once, in any order; blank lines and # comments are allowed.
// The value is read after the width it belongs to.
std::string ParseRecord(const std::string& text, BoardState* state) {
    std::string valueText;
    int number = 1, valueLine = 0;
    bool haveOutputs = false, haveInvert = false;
    BoardState read;
    for (std::size_t start = 0; start < text.size(); ++number) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string field = space == std::string::npos ? "" : line.substr(space + 1);
        const std::string where = "line " + std::to_string(number) + ": ";
        if (key == "value" && valueLine == 0) {
            valueText = field;
            valueLine = number;
        } else if (key == "outputs" && !haveOutputs) {
            if (!ParseOutputCount(field, &read.outputs))
                return where + "bad output count " + Quoted(field);
            haveOutputs = true;
        } else if (key == "invert" && !haveInvert && (field == "yes" || field == "no")) {
            read.invert = field == "yes";
            haveInvert = true;
        } else if (key == "auto_off") {
            const std::size_t split = field.find(' ');
            std::int64_t output = 0, deadline = 0;
            if (split == std::string::npos || !ParseWholeNumber(field.substr(0, split), kMostOutputs, &output) ||
                output < 1 || !ParseWholeNumber(field.substr(split + 1), INT64_MAX, &deadline) ||
                !read.offAt.emplace(static_cast<int>(output), deadline).second)
                return where + "bad auto_off " + Quoted(field);
        } else {
            return where + "unexpected " + Quoted(line);
        }
    }
    if (valueLine == 0 || !haveOutputs || !haveInvert)
        return "incomplete: it needs a value, outputs and invert line";
    if (!ParseValue(valueText, read.outputs, &read.value))
        return "line " + std::to_string(valueLine) + ": bad value " + Quoted(valueText) + " for " +
               std::to_string(read.outputs) + " outputs";
    for (const auto& entry : read.offAt)
        if (entry.first > read.outputs || !(read.value & BitOfOutput(entry.first, read.outputs)))
            return "an auto_off for output " + std::to_string(entry.first) + ", which is not on";
    *state = read;
    return "";
}

std::string FileNameOf(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string name = path;
    for (const std::string prefix : {"/dev/serial/by-id/", "/dev/"}) {
        if (name.compare(0, prefix.size(), prefix) == 0) {
            name = name.substr(prefix.size());
            break;
        }
    }
    std::string escaped;
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '_' || c == '-';
        if (plain) {
            escaped += c;
        } else {
            const unsigned char byte = static_cast<unsigned char>(c);
            escaped += '%';
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 0xF];
        }
    }
    return escaped;
}

// Windows takes a file whose name begins with a device's name and a dot
// ("COM3.state") for the device itself, so every record's name has a prefix.
std::string RecordFileName(const std::string& stablePath) {
    return "port-" + FileNameOf(stablePath) + ".state";
}

RecordRead ReadRecord(const std::string& path, BoardState* state, std::string* problem) {
    std::string text;
    switch (StateFiles::ReadText(path, &text, problem)) {
        case StateFiles::Read::Missing:
            *state = BoardState{};
            return RecordRead::Missing;
        case StateFiles::Read::Failed:
            *problem = "cannot read the record " + path + ": " + *problem;
            return RecordRead::Failed;
        case StateFiles::Read::Done:
            break;
    }
    const std::string malformed = ParseRecord(text, state);
    if (malformed.empty()) return RecordRead::Found;
    *problem = "the record " + path + " is malformed: " + malformed +
               " (a whole VALUE replaces it; or remove the file)";
    return RecordRead::Failed;
}

std::string WriteRecord(const std::string& path, const BoardState& state) {
    return StateFiles::ReplaceText(path, FormatRecord(state));
}
