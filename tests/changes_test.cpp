#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/changes.h"

namespace {

TEST(ParseChange, OutputsFromOneAndTheFourActions) {
    struct Row {
        const char* text;
        int output;
        Switch action;
        std::int64_t pulseMs;
        const char* problem;  // "" when accepted
    } rows[] = {
        {"3=on", 3, Switch::On, 0, ""},
        {"1=off", 1, Switch::Off, 0, ""},
        {"64=toggle", 64, Switch::Toggle, 0, ""},
        {"3=pulse:500ms", 3, Switch::Pulse, 500, ""},
        {"3=pulse:2s", 3, Switch::Pulse, 2000, ""},
        {"all=on", 0, Switch::On, 0, ""},
        {"all=toggle", 0, Switch::Toggle, 0, ""},
        {"0=on", 0, Switch::On, 0, "the output must be a number from 1 to 64, or all"},
        {"65=on", 0, Switch::On, 0, "the output must be a number from 1 to 64, or all"},
        {"x=on", 0, Switch::On, 0, "the output must be a number from 1 to 64, or all"},
        {"=on", 0, Switch::On, 0, "the output must be a number from 1 to 64, or all"},
        {"-3=on", 0, Switch::On, 0, "the output must be a number from 1 to 64, or all"},
        {"3=blink", 0, Switch::On, 0, "expected N=on"},
        {"3=", 0, Switch::On, 0, "expected N=on"},
        {"3=ON", 3, Switch::On, 0, ""},
        {"3=True", 3, Switch::On, 0, ""},
        {"3=1", 3, Switch::On, 0, ""},
        {"3=FALSE", 3, Switch::Off, 0, ""},
        {"3=0", 3, Switch::Off, 0, ""},
        {"3=Toggle", 3, Switch::Toggle, 0, ""},
        {"3=yes", 0, Switch::On, 0, "expected N=on"},
        {"3=01", 0, Switch::On, 0, "expected N=on"},
        {"3=PULSE:1s", 0, Switch::On, 0, "expected N=on"},
        {"3=on=off", 0, Switch::On, 0, "expected N=on"},
        {"all=pulse:1s", 0, Switch::On, 0, "expected N=on"},
        {"3=pulse:", 0, Switch::On, 0, "duration must be a whole number with ms"},
        {"3=pulse:-1s", 0, Switch::On, 0, "duration must be"},
        {"3=pulse:0ms", 0, Switch::On, 0, "duration must be"},
        {"3=pulse:2h", 0, Switch::On, 0, "duration must be"},
        {"3=pulse:500", 0, Switch::On, 0, "duration must be"},
    };
    for (const Row& row : rows) {
        Change change;
        const std::string problem = ParseChange(row.text, &change);
        if (row.problem[0] == '\0') {
            EXPECT_EQ(problem, "") << row.text;
            EXPECT_EQ(change.output, row.output) << row.text;
            EXPECT_EQ(change.action, row.action) << row.text;
            EXPECT_EQ(change.pulseMs, row.pulseMs) << row.text;
        } else {
            EXPECT_NE(problem.find(std::string("bad output change '") + row.text + "'"), std::string::npos)
                << row.text << ": " << problem;
            EXPECT_NE(problem.find(row.problem), std::string::npos) << row.text << ": " << problem;
        }
    }
}

// Several outputs in one request, as every door takes them: all or nothing.
TEST(ParseOutputItems, AllOrNothing) {
    struct Row {
        const char* text;
        std::vector<std::pair<int, Switch>> changes;
        const char* problem;  // "" when accepted
    } rows[] = {
        {"3=on 5=off 8=toggle", {{3, Switch::On}, {5, Switch::Off}, {8, Switch::Toggle}}, ""},
        {"  3=true\t5=FALSE\r\n", {{3, Switch::On}, {5, Switch::Off}}, ""},
        {"all=off 2=1", {{0, Switch::Off}, {2, Switch::On}}, ""},
        {"3=on 9=on", {}, "bad item '9=on': the board has outputs 1 to 8"},
        {"3=on 5=blink", {}, "bad output change '5=blink'"},
        {"3=on 5=pulse:1s", {}, "bad item '5=pulse:1s': a pulse goes alone"},
        {"3=on 0xA1", {}, "bad item '0xA1'"},
        {"", {}, "no items"},
        {" \t ", {}, "no items"},
    };
    for (const Row& row : rows) {
        std::vector<Change> changes = {{7, Switch::On, 0}};
        const std::string problem = ParseOutputItems(row.text, 8, &changes);
        EXPECT_EQ(problem.substr(0, std::string(row.problem).size()), row.problem) << row.text << ": " << problem;
        if (row.problem[0] != '\0') {
            EXPECT_NE(problem, "") << row.text;
            EXPECT_EQ(changes.size(), 1u) << row.text << ": changes made of a refused request";
            continue;
        }
        ASSERT_EQ(changes.size(), row.changes.size()) << row.text;
        for (std::size_t i = 0; i < changes.size(); ++i) {
            EXPECT_EQ(changes[i].output, row.changes[i].first) << row.text << " #" << i;
            EXPECT_EQ(changes[i].action, row.changes[i].second) << row.text << " #" << i;
        }
    }
}

TEST(AppliedChange, OnlyTheNamedOutputsChange) {
    struct Row {
        const char* text;
        std::uint64_t before;
        int outputs;
        std::uint64_t after;
    } rows[] = {
        {"3=on", 0x00, 8, 0x20}, {"3=on", 0x20, 8, 0x20}, {"3=off", 0xFF, 8, 0xDF},
        {"1=toggle", 0x01, 8, 0x81}, {"8=toggle", 0x81, 8, 0x80}, {"3=pulse:1s", 0x00, 8, 0x20},
        {"1=on", 0x0000, 16, 0x8000}, {"16=on", 0x0000, 16, 0x0001}, {"9=on", 0x0000, 16, 0x0080},
        {"all=on", 0x0000, 16, 0xFFFF}, {"all=off", 0xA5A5, 16, 0x0000}, {"all=toggle", 0xA5A5, 16, 0x5A5A},
        {"1=on", 0, 64, 0x8000000000000000}, {"64=on", 0, 64, 1},
        {"all=toggle", 0x0F0F0F0F0F0F0F0F, 64, 0xF0F0F0F0F0F0F0F0}, {"all=on", 0, 64, ~0ull},
    };
    for (const Row& row : rows) {
        Change change;
        ASSERT_EQ(ParseChange(row.text, &change), "") << row.text;
        EXPECT_EQ(AppliedChange(row.before, change, row.outputs), row.after)
            << row.text << " on " << row.outputs << " outputs";
    }
}

// A step as text: "V:0xA1", "C:3=on 5=off", "P:3=pulse:1s".
std::string Shape(const std::vector<Step>& steps) {
    std::string shape;
    for (const Step& step : steps) {
        shape += shape.empty() ? "" : " | ";
        shape += step.kind == Step::Value ? "V:" : step.kind == Step::Changes ? "C:" : "P:";
        for (std::size_t i = 0; i < step.items.size(); ++i) shape += (i ? " " : "") + step.items[i];
    }
    return shape;
}

TEST(ParseItems, AdjacentChangesGoOutTogetherAndValuesAndPulsesAlone) {
    struct Row {
        std::vector<std::string> items;
        const char* shape;
    } rows[] = {
        {{"3=on", "5=off"}, "C:3=on 5=off"},
        {{"0xA1"}, "V:0xA1"},
        {{"0xA1", "0x00"}, "V:0xA1 | V:0x00"},
        {{"3=on", "0xA1", "5=off", "6=on"}, "C:3=on | V:0xA1 | C:5=off 6=on"},
        {{"3=on", "4=pulse:1s", "5=off"}, "C:3=on | P:4=pulse:1s | C:5=off"},
        {{"3=pulse:1s", "3=pulse:2s"}, "P:3=pulse:1s | P:3=pulse:2s"},
        {{"all=off", "1=on", "3=toggle"}, "C:all=off 1=on 3=toggle"},
        {{"0b1000000000000001"}, "V:0b1000000000000001"},
    };
    for (const Row& row : rows) {
        std::vector<Step> steps;
        EXPECT_EQ(ParseItems(row.items, &steps), "") << row.shape;
        EXPECT_EQ(Shape(steps), row.shape);
    }
    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{"3=on", "256x"}, "bad value '256x'"},
        {{"0b101"}, "bad value '0b101': a binary value needs one digit per output, output 1 first: 8, 16, ... 64 digits, not 3"},
        {{"3=on", "3=blink"}, "bad output change '3=blink'"},
        {{""}, "bad value ''"},
    };
    for (const auto& [items, problem] : refused) {
        std::vector<Step> steps;
        EXPECT_EQ(ParseItems(items, &steps).rfind(problem, 0), 0u) << problem;
    }
}

}  // namespace
