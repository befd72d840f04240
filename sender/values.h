// The texts the sender accepts: values, the interval, lines of standard input.
#pragma once

#include <cstdint>
#include <string>

// A whole byte: decimal 0 to 255 ("010" is ten), hexadecimal with 0x or 0X
// ("0xA1", digits in either case), or binary with 0b or 0B and exactly
// eight digits, the first for box 1 ("0b10100001"). Nothing else: no blanks,
// no sign, nothing after the number.
bool ParseValue(const std::string& text, std::uint8_t* value);

// Whole milliseconds, decimal, 0 to kLongestInterval.
constexpr std::int64_t kLongestInterval = 3600000;
bool ParseInterval(const std::string& text, std::int64_t* milliseconds);

// The value text on a line of standard input: without the blanks (spaces,
// tabs) around it and a Windows line end; "" for a blank line or a comment
// (first non-blank character '#').
std::string ValueTextOfLine(const std::string& line);

// text in single quotes, with anything unprintable shown as \xNN.
std::string Quoted(const std::string& text);

// What a VALUE may be, for messages.
extern const char kValueForms[];
