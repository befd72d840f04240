#include <gtest/gtest.h>

#include "sender/values.h"

namespace {

constexpr int kRefused = -1;

TEST(ParseValue, AcceptsTheThreeFormsAndNothingElse) {
    struct Row {
        const char* text;
        int value;  // kRefused: not a value
    } rows[] = {
        {"0", 0}, {"161", 161}, {"255", 255}, {"010", 10}, {"00000000000000000007", 7},
        {"0xA1", 0xA1}, {"0Xa1", 0xA1}, {"0xff", 255}, {"0x0", 0}, {"0x00FF", 255},
        {"0b10100001", 0xA1}, {"0B00000001", 0x01}, {"0b10000000", 0x80}, {"0b11111111", 255},
        {"", kRefused}, {" 1", kRefused}, {"1 ", kRefused}, {"1\t", kRefused},
        {"+1", kRefused}, {"-1", kRefused}, {"-0", kRefused},
        {"256", kRefused}, {"1000", kRefused}, {"99999999999999999999999", kRefused},
        {"0x100", kRefused}, {"0x", kRefused}, {"0X", kRefused}, {"0xG1", kRefused},
        {"x1", kRefused}, {"0x-1", kRefused}, {"0x 1", kRefused},
        {"0b", kRefused}, {"0b1010000", kRefused}, {"0b101000011", kRefused},
        {"0b10100002", kRefused}, {"0b1010000x", kRefused},
        {"12a", kRefused}, {"1e2", kRefused}, {"1.0", kRefused}, {"0o17", kRefused},
        {"1,2", kRefused}, {"one", kRefused}, {"\xd9\xa3", kRefused},
    };
    for (const Row& row : rows) {
        std::uint8_t value = 0;
        const int got = ParseValue(row.text, &value) ? value : kRefused;
        EXPECT_EQ(got, row.value) << "'" << row.text << "'";
    }
}

TEST(ParseInterval, WholeMillisecondsUpToAnHour) {
    struct Row {
        const char* text;
        std::int64_t milliseconds;  // -1: refused
    } rows[] = {
        {"0", 0}, {"250", 250}, {"0100", 100}, {"3600000", 3600000},
        {"3600001", -1}, {"-1", -1}, {"", -1}, {"1.5", -1}, {"0x10", -1}, {"10ms", -1},
        {" 5", -1}, {"99999999999999999999", -1},
    };
    for (const Row& row : rows) {
        std::int64_t milliseconds = 0;
        const std::int64_t got = ParseInterval(row.text, &milliseconds) ? milliseconds : -1;
        EXPECT_EQ(got, row.milliseconds) << "'" << row.text << "'";
    }
}

TEST(ValueTextOfLine, StripsBlanksAndLineEndsAndSkipsComments) {
    struct Row {
        const char* line;
        const char* text;
    } rows[] = {
        {"161", "161"}, {"  0xA1\t", "0xA1"}, {"7\r", "7"}, {"\t 7 \r", "7"},
        {"", ""}, {"   ", ""}, {"\r", ""}, {"# all off", ""}, {"  #0", ""},
        {"1 2", "1 2"}, {"1 # note", "1 # note"}, {"7\r\r", "7\r"}, {"\v7", "\v7"},
    };
    for (const Row& row : rows) EXPECT_EQ(ValueTextOfLine(row.line), row.text) << "'" << row.line << "'";
}

TEST(Quoted, ShowsUnprintableBytes) {
    EXPECT_EQ(Quoted("0xZZ"), "'0xZZ'");
    EXPECT_EQ(Quoted(std::string("a\0b", 3)), "'a\\x00b'");
    EXPECT_EQ(Quoted("\x1b[2J\\"), "'\\x1B[2J\\x5C'");
    EXPECT_EQ(Quoted("\xc3\xa9"), "'\\xC3\\xA9'");
}

}  // namespace
