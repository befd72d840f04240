#include <gtest/gtest.h>

#include <string>

#include "register/output.h"
#include "tests/fake_serial_line.h"

namespace {

// One character per logged call: data 1/0, clock ^/v, latch L/l, fine
// timing [ ]; before it '.' where at least a millisecond passed since the
// call before, '~' where some time passed but less. Also checks every line
// operation went to `port`.
std::string Trace(PortHandle port) {
    const std::string on = " #" + std::to_string(port);
    const std::pair<std::string, char> symbols[] = {
        {"SETBREAK" + on, '1'}, {"CLRBREAK" + on, '0'}, {"SETDTR" + on, '^'},
        {"CLRDTR" + on, 'v'},   {"SETRTS" + on, 'L'},   {"CLRRTS" + on, 'l'},
        {"fine timing on", '['}, {"fine timing off", ']'}};
    std::string trace;
    for (std::size_t i = 0; i < Fake::log.size(); ++i) {
        const std::int64_t gap = i == 0 ? 0 : Fake::logTimes[i] - Fake::logTimes[i - 1];
        if (gap >= 1000000) trace += '.';
        if (gap > 0 && gap < 1000000) trace += '~';
        char symbol = '?';
        for (const auto& [text, c] : symbols)
            if (Fake::log[i] == text) symbol = c;
        trace += symbol;
    }
    return trace;
}

TEST(TransmitByte, ClocksEveryBitLeastSignificantFirstThenLatches) {
    struct Row {
        std::uint8_t value;
        const char* trace;
    } rows[] = {
        {0x00, "[0^.v.0^.v.0^.v.0^.v.0^.v.0^.v.0^.v.0^.v.L.l]"},
        {0xFF, "[1^.v.1^.v.1^.v.1^.v.1^.v.1^.v.1^.v.1^.v.L.l]"},
        {0x01, "[1^.v.0^.v.0^.v.0^.v.0^.v.0^.v.0^.v.0^.v.L.l]"},
        {0x80, "[0^.v.0^.v.0^.v.0^.v.0^.v.0^.v.0^.v.1^.v.L.l]"},
        {0x42, "[0^.v.1^.v.0^.v.0^.v.0^.v.0^.v.1^.v.0^.v.L.l]"},
        {0xA5, "[1^.v.0^.v.1^.v.0^.v.0^.v.1^.v.0^.v.1^.v.L.l]"},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        OutputByte = row.value;
        const std::uint32_t error = TransmitByte(Fake::Handle(7));
        EXPECT_EQ(Trace(Fake::Handle(7)), row.trace) << "byte 0x" << std::hex << +row.value;
        EXPECT_EQ(Fake::log.size(), 2u + 26u);
        EXPECT_EQ(OutputByte, row.value) << "sending must not change the byte";
        EXPECT_EQ(error, 0u) << "byte 0x" << std::hex << +row.value;
    }
}

TEST(TransmitByte, SameValueTwiceSendsTheSameSequenceTwice) {
    Fake::Reset();
    OutputByte = 0x3C;
    TransmitByte(Fake::Handle(1));
    const std::string once = Trace(Fake::Handle(1));
    TransmitByte(Fake::Handle(1));
    EXPECT_EQ(Trace(Fake::Handle(1)), once + once);
}

TEST(TransmitByte, RunsToTheEndAfterAFailureAndReportsTheFirst) {
    Fake::Reset();
    Fake::failingCalls = {{"SETDTR #3", 5}, {"SETRTS #3", 6}};
    OutputByte = 0x0F;
    EXPECT_EQ(TransmitByte(Fake::Handle(3)), 5u);
    EXPECT_EQ(Trace(Fake::Handle(3)), "[1^.v.1^.v.1^.v.1^.v.0^.v.0^.v.0^.v.0^.v.L.l]");
}

TEST(OutputByte, BoxesOwnBitsFromTheTopDown) {
    const std::uint8_t bits[] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};
    for (int output = 1; output <= 8; ++output)
        EXPECT_EQ(BitOfOutput(output), bits[output - 1]) << "output " << output;
}

TEST(OutputByte, SetAndToggleChangeOnlyTheirOwnBit) {
    struct Row {
        const char* name;
        std::uint8_t before;
        void (*change)(int);
        int output;
        std::uint8_t after;
    } rows[] = {
        {"tick 3 alone", 0x00, SetOutput, 3, 0x20},
        {"untick 3", 0x20, ToggleOutput, 3, 0x00},
        {"tick 1 with 8 ticked", 0x01, SetOutput, 1, 0x81},
        {"tick 8 with 1 ticked", 0x80, SetOutput, 8, 0x81},
        {"set an already set bit", 0x42, SetOutput, 2, 0x42},
        {"untick 7 of 2 and 7", 0x42, ToggleOutput, 7, 0x40},
    };
    for (const Row& row : rows) {
        OutputByte = row.before;
        row.change(row.output);
        EXPECT_EQ(OutputByte, row.after) << row.name;
    }
}

}  // namespace
