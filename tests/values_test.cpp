#include <gtest/gtest.h>

#include <string>

#include "board/values.h"

namespace {

constexpr std::uint64_t kRefused = 0xDEADBEEFDEADBEEF;

TEST(ParseValue, TheThreeFormsGrowWithTheWidth) {
    struct Row {
        const char* text;
        int outputs;
        std::uint64_t value;  // kRefused: not a value for that width
    } rows[] = {
        {"0", 8, 0}, {"161", 8, 161}, {"255", 8, 255}, {"010", 8, 10}, {"00000000000000000007", 8, 7},
        {"0xA1", 8, 0xA1}, {"0Xa1", 8, 0xA1}, {"0xff", 8, 255}, {"0x0", 8, 0},
        {"0b10100001", 8, 0xA1}, {"0B00000001", 8, 0x01}, {"0b11111111", 8, 255},
        {"256", 8, kRefused}, {"0x100", 8, kRefused}, {"0x0FF", 8, kRefused},
        {"0b1010000", 8, kRefused}, {"0b101000011", 8, kRefused}, {"0b1010000111", 8, kRefused},
        {"65535", 16, 65535}, {"65536", 16, kRefused}, {"0x8080", 16, 0x8080}, {"0x00A1", 16, 0xA1},
        {"0x10000", 16, kRefused}, {"0b1000000000000001", 16, 0x8001}, {"0b10100001", 16, kRefused},
        {"16777215", 24, 0xFFFFFF}, {"0xFFFFFF", 24, 0xFFFFFF}, {"0x1000000", 24, kRefused},
        {"18446744073709551615", 64, 0xFFFFFFFFFFFFFFFF}, {"18446744073709551616", 64, kRefused},
        {"99999999999999999999999", 64, kRefused},
        {"0xFFFFFFFFFFFFFFFF", 64, 0xFFFFFFFFFFFFFFFF}, {"0x1FFFFFFFFFFFFFFFF", 64, kRefused},
        {"0b1000000000000000000000000000000000000000000000000000000000000001", 64, 0x8000000000000001},
        {"", 8, kRefused}, {" 1", 8, kRefused}, {"1 ", 8, kRefused}, {"1\t", 8, kRefused},
        {"+1", 8, kRefused}, {"-1", 8, kRefused}, {"-0", 8, kRefused},
        {"0x", 8, kRefused}, {"0X", 8, kRefused}, {"0xG1", 8, kRefused}, {"x1", 8, kRefused},
        {"0x-1", 8, kRefused}, {"0x 1", 8, kRefused}, {"0b", 8, kRefused},
        {"0b10100002", 8, kRefused}, {"0b1010000x", 8, kRefused},
        {"12a", 8, kRefused}, {"1e2", 8, kRefused}, {"1.0", 8, kRefused}, {"0o17", 8, kRefused},
        {"1,2", 8, kRefused}, {"one", 8, kRefused}, {"\xd9\xa3", 8, kRefused},
    };
    for (const Row& row : rows) {
        std::uint64_t value = kRefused;
        const std::uint64_t got = ParseValue(row.text, row.outputs, &value) ? value : kRefused;
        EXPECT_EQ(got, row.value) << "'" << row.text << "' for " << row.outputs << " outputs";
    }
}

TEST(FormatValue, OneUpperCaseDigitPerFourOutputs) {
    struct Row {
        std::uint64_t value;
        int outputs;
        const char* text;
    } rows[] = {
        {0xA1, 8, "0xA1"}, {0x00, 8, "0x00"}, {0x8080, 16, "0x8080"}, {0xA1, 16, "0x00A1"},
        {0xABCDEF, 24, "0xABCDEF"}, {0x8000000000000001, 64, "0x8000000000000001"},
    };
    for (const Row& row : rows) EXPECT_EQ(FormatValue(row.value, row.outputs), row.text) << row.text;
}

TEST(BadValue, SaysHowManyBinaryDigitsAreNeeded) {
    const struct {
        const char* text;
        int outputs;
        std::string message;
    } rows[] = {
        {"0b1010", 8, "bad value '0b1010': a binary value for 8 outputs needs 8 digits, output 1 first, not 4"},
        {"0B101000011", 8, "bad value '0B101000011': a binary value for 8 outputs needs 8 digits, output 1 first, not 9"},
        {"0b10100001", 16, "bad value '0b10100001': a binary value for 16 outputs needs 16 digits, output 1 first, not 8"},
        {"0b", 8, "bad value '0b': a binary value for 8 outputs needs 8 digits, output 1 first, not 0"},
        {"0b1010", 0, "bad value '0b1010': a binary value needs one digit per output, output 1 first: 8, 16, ... 64 digits, not 4"},
        {"0b1012", 8, "bad value '0b1012': expected " + ValueForms(8)},
        {"256", 8, "bad value '256': expected " + ValueForms(8)},
        {"256", 0, ""},
    };
    for (const auto& row : rows) EXPECT_EQ(BadValue(row.text, row.outputs), row.message) << row.text;
}

TEST(ParseOutputCount, EightToSixtyFourInStepsOfEight) {
    const std::pair<const char*, int> rows[] = {
        {"8", 8}, {"16", 16}, {"32", 32}, {"64", 64}, {"008", 8},
        {"12", -1}, {"72", -1}, {"0", -1}, {"-8", -1}, {"", -1}, {"8 ", -1}, {"0x10", -1},
    };
    for (const auto& [text, outputs] : rows) {
        int got = -1;
        if (!ParseOutputCount(text, &got)) got = -1;
        EXPECT_EQ(got, outputs) << "'" << text << "'";
    }
}

TEST(ParseDuration, AWholeNumberWithItsUnitFromAMillisecondToAnHour) {
    const std::pair<const char*, std::int64_t> rows[] = {
        {"500ms", 500}, {"2s", 2000}, {"1m", 60000}, {"1h", 3600000}, {"60m", 3600000},
        {"3600000ms", 3600000}, {"1ms", 1}, {"0ms", -1}, {"2h", -1}, {"3601s", -1}, {"61m", -1},
        {"500", -1}, {"-1s", -1}, {"ms", -1}, {"1.5s", -1}, {"1 s", -1}, {"5sec", -1}, {"", -1},
        {"99999999999999999999ms", -1}, {"1S", -1},
    };
    for (const auto& [text, milliseconds] : rows) {
        std::int64_t got = -1;
        if (!ParseDuration(text, &got)) got = -1;
        EXPECT_EQ(got, milliseconds) << "'" << text << "'";
    }
}

TEST(Quoted, ShowsUnprintableBytesAndAtMostFortyCharacters) {
    const std::pair<std::string, std::string> rows[] = {
        {"0xZZ", "'0xZZ'"},
        {std::string("a\0b", 3), "'a\\x00b'"},
        {"\x1b[2J\\", "'\\x1B[2J\\x5C'"},
        {"\x7f", "'\\x7F'"},
        {"\xc3\xa9", "'\\xC3\\xA9'"},
        {std::string(40, 'x'), "'" + std::string(40, 'x') + "'"},
        {std::string(41, 'x'), "'" + std::string(40, 'x') + "'..."},
        {std::string(120000, 'y'), "'" + std::string(40, 'y') + "'..."},
    };
    for (const auto& [text, quoted] : rows) EXPECT_EQ(Quoted(text), quoted) << text.substr(0, 50);
}

}  // namespace
