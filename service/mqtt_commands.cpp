#include "service/mqtt_commands.h"

#include <sstream>
#include <vector>

#include "board/values.h"

namespace {

constexpr std::int64_t kLongestPulseMs = 3600000;

// Text is UTF-8 without control characters; blanks at either end are
// trimmed before this is asked.
bool IsText(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) return false;
        const std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3
                                                 : (byte >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

std::string Trimmed(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        for (char& c : word) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        words.push_back(word);
    }
    return words;
}

std::string ParseOutputWords(const std::vector<std::string>& words, std::int64_t configuredPulseMs,
                             MqttCommand* command) {
    const std::string& word = words.empty() ? "" : words[0];
    if (words.size() == 1 && ParseSwitchWord(word, &command->action)) {
        command->kind = MqttCommand::Output;
        return "";
    }
    if (word != "PULSE" || words.size() > 2)
        return std::string("expected ") + kSwitchWords + ", PULSE or PULSE MS";
    command->kind = MqttCommand::Pulse;
    command->pulseMs = configuredPulseMs;
    if (words.size() == 2 && !(ParseWholeNumber(words[1], kLongestPulseMs, &command->pulseMs) && command->pulseMs > 0))
        return "a pulse lasts 1 to 3600000 ms: PULSE 500";
    if (command->pulseMs == 0) return "no pulse length: send PULSE MS, or give pulse_ms in the board's configuration";
    return "";
}

}  // namespace

std::string ParseMqttCommand(const BoardSettings& board, const std::string& item, const std::string& payload,
                             MqttCommand* command) {
    const std::size_t longest = item.empty() ? kLongestMqttItems : kLongestMqttCommand;
    if (payload.size() > longest)
        return "a command of " + std::to_string(payload.size()) + " bytes; the longest is " + std::to_string(longest);
    const std::string text = Trimmed(payload);
    if (!IsText(text)) return Quoted(text) + " is not text";
    if (item.empty()) {
        command->kind = MqttCommand::Items;
        return ParseOutputItems(text, board.outputs, &command->changes);
    }
    if (item == "value") {
        command->kind = MqttCommand::Value;
        if (ParseValue(text, board.outputs, &command->value)) return "";
        return BadValue(text, board.outputs);
    }
    std::int64_t output = 0;
    if (!ParseWholeNumber(item, board.outputs, &output) || output < 1)
        return "no output " + Quoted(item) + ": board " + board.name + " has outputs 1 to " +
               std::to_string(board.outputs);
    command->output = static_cast<int>(output);
    const std::string problem = ParseOutputWords(
        Words(text), board.output[static_cast<std::size_t>(output - 1)].pulseMs, command);
    return problem.empty() ? "" : "bad command " + Quoted(text) + ": " + problem;
}

bool SplitCommandTopic(const std::string& topic, const std::string& prefix, std::string* board, std::string* item) {
    const std::string start = prefix + "/", end = "/set";
    if (topic.size() <= start.size() + end.size() || topic.compare(0, start.size(), start) != 0 ||
        topic.compare(topic.size() - end.size(), end.size(), end) != 0)
        return false;
    const std::string middle = topic.substr(start.size(), topic.size() - start.size() - end.size());
    const std::size_t slash = middle.find('/');
    if (slash == std::string::npos) {
        *board = middle;
        item->clear();
        return true;
    }
    if (slash == std::string::npos || slash == 0 || slash + 1 == middle.size() ||
        middle.find('/', slash + 1) != std::string::npos)
        return false;
    *board = middle.substr(0, slash);
    *item = middle.substr(slash + 1);
    return true;
}
