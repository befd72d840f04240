#include <gtest/gtest.h>

#include <string>

#include "register/output.h"
#include "register/transmission.h"
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

// The trace of a whole transmission whose data bits, in the order they go
// out, are `bits`.
std::string Expected(const std::string& bits) {
    std::string trace = "[";
    for (const char bit : bits) trace += std::string(1, bit) + "^.v.";
    return trace + "L.l]";
}

TEST(TransmitByte, ClocksEveryBitLeastSignificantFirstThenLatches) {
    struct Row {
        std::uint8_t value;
        const char* bits;  // as they go out
    } rows[] = {
        {0x00, "00000000"}, {0xFF, "11111111"}, {0x01, "10000000"},
        {0x80, "00000001"}, {0x42, "01000010"}, {0xA5, "10100101"},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        OutputByte = row.value;
        const std::uint32_t error = TransmitByte(Fake::Handle(7));
        EXPECT_EQ(Trace(Fake::Handle(7)), Expected(row.bits)) << "byte 0x" << std::hex << +row.value;
        EXPECT_EQ(Fake::log.size(), 2u + 26u);
        EXPECT_EQ(OutputByte, row.value) << "sending must not change the byte";
        EXPECT_EQ(error, 0u) << "byte 0x" << std::hex << +row.value;
    }
}

// 3N + 2 line operations and 2N + 1 pauses; the farthest register's last
// output goes first and output 1 last; inverted, every data bit flips and
// nothing else changes.
TEST(TransmitValue, ChainsOfRegistersAndInvertedLines) {
    struct Row {
        const char* name;
        std::uint64_t value;
        int outputs;
        bool invert;
        std::string bits;
    } rows[] = {
        {"8 outputs", 0xA1, 8, false, "10000101"},
        {"8 inverted", 0xA1, 8, true, "01111010"},
        {"16, output 1", 0x8000, 16, false, "0000000000000001"},
        {"16, output 16", 0x0001, 16, false, "1000000000000000"},
        {"16, outputs 8 and 9", 0x0180, 16, false, "0000000110000000"},
        {"16 inverted", 0x8001, 16, true, "0111111111111110"},
        {"64, outputs 1 and 64", 0x8000000000000001, 64, false,
         "1" + std::string(62, '0') + "1"},
        {"64, output 2", 0x4000000000000000, 64, false, std::string(62, '0') + "10"},
        {"64 inverted, all on", ~0ull, 64, true, std::string(64, '0')},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        EXPECT_EQ(TransmitValue(Fake::Handle(2), row.value, row.outputs, row.invert), 0u) << row.name;
        EXPECT_EQ(Trace(Fake::Handle(2)), Expected(row.bits)) << row.name;
        EXPECT_EQ(Fake::log.size(), 2u + 3u * row.outputs + 2u) << row.name;
    }
}

// Paced to share the processor: the same sequence and pauses, without
// real-time priority; each pause sleeps, then gives way while it watches
// the clock.
TEST(TransmitValue, SharedPacingGivesWayInsteadOfTakingRealTimePriority) {
    Fake::Reset();
    EXPECT_EQ(TransmitValue(Fake::Handle(4), 0xA1, 8, false, Pacing::Shared), 0u);
    const std::string alone = Expected("10000101");
    EXPECT_EQ(Trace(Fake::Handle(4)), alone.substr(1, alone.size() - 2));
    EXPECT_EQ(Fake::sleeps.size(), 17u);
    EXPECT_GE(Fake::givenWay, 17u);
}

TEST(TransmitValue, RunsToTheEndAfterAFailureAndReportsTheFirst) {
    Fake::Reset();
    Fake::failingCalls = {{"SETDTR #3", 5}, {"SETRTS #3", 6}};
    EXPECT_EQ(TransmitValue(Fake::Handle(3), 0x0F, 8, false), 5u);
    EXPECT_EQ(Trace(Fake::Handle(3)), Expected("11110000"));
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
