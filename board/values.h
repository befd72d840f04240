// The texts that name a board's state: whole values, output counts,
// durations, and how any text a user gave is shown back to them.
#pragma once

#include <cstdint>
#include <string>

// A whole value for a chain of `outputs` outputs (8 to 64): decimal from 0
// to 2^outputs - 1 ("010" is ten), hexadecimal with 0x or 0X and at most
// outputs / 4 digits in either case ("0xA1"), or binary with 0b or 0B and
// exactly `outputs` digits, the first for output 1 ("0b10100001"). Nothing
// else: no blanks, no sign, nothing after the number.
bool ParseValue(const std::string& text, int outputs, std::uint64_t* value);

// Whether text could be a whole value for some chain (the form alone).
bool LooksLikeValue(const std::string& text);

// "0x" and outputs / 4 upper-case hexadecimal digits: "0xA1", "0x8080".
std::string FormatValue(std::uint64_t value, int outputs);

// What a whole value for `outputs` outputs may be, for messages.
std::string ValueForms(int outputs);

// The refusal of a text ParseValue did not take: "bad value 'TEXT': ...",
// saying how many digits a binary value needs when that is what was wrong;
// with outputs 0, where the width is not known yet, only a binary value's
// digits are said, and "" is returned for anything else.
std::string BadValue(const std::string& text, int outputs);

// An output count: 8 to 64 in steps of 8.
bool ParseOutputCount(const std::string& text, int* outputs);
extern const char kOutputCountForms[];

// Whole decimal numbers from 0 to largest.
bool ParseWholeNumber(const std::string& text, std::int64_t largest, std::int64_t* number);

// A pulse's length: a whole number with ms, s, m or h, from 1 ms to 1 h.
bool ParseDuration(const std::string& text, std::int64_t* milliseconds);
extern const char kDurationForms[];

// What a user gave, shown back to them: in single quotes, its first 40
// characters at most (then "..."), anything unprintable as \xNN.
std::string Quoted(const std::string& text);
