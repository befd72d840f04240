#include "board/values.h"

#include <cstdio>

namespace {

// Longer texts are cut when shown back, so that a runaway argument cannot
// flood a terminal or a log.
constexpr std::size_t kLongestQuote = 40;

// The digit's value in base 2, 10 or 16, or -1 when it is none.
int DigitValue(char c, int base) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    return digit < base ? digit : -1;
}

// Reads all of text from `from` on as one number in base; false when a
// character is no digit, there is none, or the number passes largest.
bool ParseDigits(const std::string& text, std::size_t from, int base, std::uint64_t largest,
                 std::uint64_t* number) {
    if (from >= text.size()) return false;
    std::uint64_t result = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        const int digit = DigitValue(text[i], base);
        if (digit < 0 || static_cast<std::uint64_t>(digit) > largest) return false;
        if (result > (largest - static_cast<std::uint64_t>(digit)) / base) return false;
        result = result * base + static_cast<std::uint64_t>(digit);
    }
    *number = result;
    return true;
}

std::uint64_t LargestValue(int outputs) {
    return outputs >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << outputs) - 1;
}

bool HasPrefix(const std::string& text, char lower) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == lower || text[1] == lower - 'a' + 'A');
}

}  // namespace

const char kOutputCountForms[] = "8 to 64 in steps of 8";
const char kDurationForms[] = "a whole number with ms, s, m or h, from 1 ms to 1 h (500ms, 2s)";

bool ParseValue(const std::string& text, int outputs, std::uint64_t* value) {
    const std::uint64_t largest = LargestValue(outputs);
    std::uint64_t number = 0;
    bool parsed = false;
    if (HasPrefix(text, 'x'))
        parsed = text.size() <= 2 + static_cast<std::size_t>(outputs / 4) &&
                 ParseDigits(text, 2, 16, largest, &number);
    else if (HasPrefix(text, 'b'))
        parsed = text.size() == 2 + static_cast<std::size_t>(outputs) &&
                 ParseDigits(text, 2, 2, largest, &number);
    else
        parsed = ParseDigits(text, 0, 10, largest, &number);
    if (parsed) *value = number;
    return parsed;
}

bool LooksLikeValue(const std::string& text) {
    std::uint64_t ignored = 0;
    for (int outputs = 8; outputs <= 64; outputs += 8)
        if (ParseValue(text, outputs, &ignored)) return true;
    return false;
}

std::string FormatValue(std::uint64_t value, int outputs) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = outputs - 4; shift >= 0; shift -= 4) text += kDigits[(value >> shift) & 0xF];
    return text;
}

std::string ValueForms(int outputs) {
    const std::string width = std::to_string(outputs);
    if (outputs == 8)
        return "a value for 8 outputs, 0 to 255, as decimal (161), hexadecimal (0xA1) "
               "or eight binary digits, output 1 first (0b10100001)";
    return "a value for " + width + " outputs, 0 to " + std::to_string(LargestValue(outputs)) +
           ", as decimal, hexadecimal with up to " + std::to_string(outputs / 4) +
           " digits (0x...) or " + width + " binary digits, output 1 first (0b...)";
}

std::string BadValue(const std::string& text, int outputs) {
    if (HasPrefix(text, 'b') && text.find_first_not_of("01", 2) == std::string::npos) {
        const std::string digits = std::to_string(text.size() - 2);
        if (outputs == 0)
            return "bad value " + Quoted(text) + ": a binary value needs one digit per output, output 1 first: " +
                   "8, 16, ... 64 digits, not " + digits;
        if (text.size() - 2 != static_cast<std::size_t>(outputs))
            return "bad value " + Quoted(text) + ": a binary value for " + std::to_string(outputs) +
                   " outputs needs " + std::to_string(outputs) + " digits, output 1 first, not " + digits;
    }
    if (outputs == 0) return "";
    return "bad value " + Quoted(text) + ": expected " + ValueForms(outputs);
}

bool ParseOutputCount(const std::string& text, int* outputs) {
    std::uint64_t number = 0;
    if (!ParseDigits(text, 0, 10, 64, &number) || number < 8 || number % 8 != 0) return false;
    *outputs = static_cast<int>(number);
    return true;
}

bool ParseWholeNumber(const std::string& text, std::int64_t largest, std::int64_t* number) {
    std::uint64_t parsed = 0;
    if (!ParseDigits(text, 0, 10, static_cast<std::uint64_t>(largest), &parsed)) return false;
    *number = static_cast<std::int64_t>(parsed);
    return true;
}

bool ParseDuration(const std::string& text, std::int64_t* milliseconds) {
    constexpr std::int64_t kHour = 3600000;
    const struct {
        const char* unit;
        std::int64_t milliseconds;
    } units[] = {{"ms", 1}, {"s", 1000}, {"m", 60000}, {"h", kHour}};
    for (const auto& unit : units) {
        const std::string suffix = unit.unit;
        if (text.size() <= suffix.size() || text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        std::int64_t number = 0;
        if (!ParseWholeNumber(text.substr(0, text.size() - suffix.size()), kHour / unit.milliseconds, &number) ||
            number == 0)
            return false;
        *milliseconds = number * unit.milliseconds;
        return true;
    }
    return false;
}

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (std::size_t i = 0; i < text.size() && i < kLongestQuote; ++i) {
        const char c = text[i];
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '\\') {
            quoted += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            quoted += escaped;
        }
    }
    return quoted + (text.size() > kLongestQuote ? "'..." : "'");
}
