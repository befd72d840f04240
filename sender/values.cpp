#include "sender/values.h"

#include <cstdio>

namespace {

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
bool ParseDigits(const std::string& text, std::size_t from, int base, std::int64_t largest,
                 std::int64_t* number) {
    if (from >= text.size()) return false;
    std::int64_t result = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        const int digit = DigitValue(text[i], base);
        if (digit < 0) return false;
        result = result * base + digit;
        if (result > largest) return false;
    }
    *number = result;
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

const char kValueForms[] =
    "a byte, 0 to 255, as decimal (161), hexadecimal (0xA1) "
    "or eight binary digits, box 1 first (0b10100001)";

bool ParseValue(const std::string& text, std::uint8_t* value) {
    const bool prefixed = text.size() >= 2 && text[0] == '0';
    std::int64_t number = 0;
    bool parsed = false;
    if (prefixed && (text[1] == 'x' || text[1] == 'X'))
        parsed = ParseDigits(text, 2, 16, 255, &number);
    else if (prefixed && (text[1] == 'b' || text[1] == 'B'))
        parsed = text.size() == 10 && ParseDigits(text, 2, 2, 255, &number);
    else
        parsed = ParseDigits(text, 0, 10, 255, &number);
    if (parsed) *value = static_cast<std::uint8_t>(number);
    return parsed;
}

bool ParseInterval(const std::string& text, std::int64_t* milliseconds) {
    return ParseDigits(text, 0, 10, kLongestInterval, milliseconds);
}

std::string ValueTextOfLine(const std::string& line) {
    std::size_t end = line.size();
    if (end > 0 && line[end - 1] == '\r') --end;
    while (end > 0 && IsBlank(line[end - 1])) --end;
    std::size_t begin = 0;
    while (begin < end && IsBlank(line[begin])) ++begin;
    if (begin < end && line[begin] == '#') return "";
    return line.substr(begin, end - begin);
}

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '\\') {
            quoted += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            quoted += escaped;
        }
    }
    return quoted + "'";
}
