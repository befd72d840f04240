#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ports/discovery.h"
#include "tests/fake_serial_line.h"

namespace {

// A device-name list: each name ended by a zero, the list by one more.
std::wstring List(std::initializer_list<const wchar_t*> names) {
    std::wstring list;
    for (const wchar_t* name : names) {
        list += name;
        list += L'\0';
    }
    return list + L'\0';
}

constexpr std::size_t kBuffer = 65536;

// A list that fills the whole first buffer and ends with `tail`, no zero after.
std::wstring EndingWith(const std::wstring& tail) {
    return std::wstring(kBuffer - tail.size(), L'\0') + tail;
}

TEST(DiscoverPorts, FindsEveryComFollowedByDigits) {
    struct Row {
        const char* name;
        std::wstring names;
        PortNumbers expected;
    } rows[] = {
        {"two ports in list order", List({L"COM1", L"COM3"}), {1, 3}},
        {"not sorted", List({L"COM9", L"LPT1", L"COM2"}), {9, 2}},
        {"several digits", List({L"COM10", L"COM256"}), {10, 256}},
        {"inside a longer name", List({L"XCOM5"}), {5}},
        {"upper case only", List({L"com7", L"Com8"}), {}},
        {"empty run is 0", List({L"COMX"}), {0}},
        {"name ending after COM", List({L"COM"}), {0}},
        {"run ends the walk", List({L"COM1COM2"}), {1}},
        {"the ending character is skipped", List({L"COM1xCOM2"}), {1, 2}},
        {"duplicates kept", List({L"COM4", L"COM4"}), {4, 4}},
        {"no ports", List({L"LPT1", L"C:", L"CO", L"PhysicalDrive0"}), {}},
        {"empty list", L"", {}},
        {"largest 32-bit number", List({L"COM2147483647"}), {2147483647}},
        {"too large for 32 bits", List({L"COM2147483648", L"COM5"}), {5}},
        {"far too large", List({L"COM99999999999999999999999", L"COM6"}), {6}},
        {"digit run at the buffer's end", EndingWith(L"COM12"), {12}},
        {"too large at the buffer's end", EndingWith(L"COM4294967296"), {}},
        {"COM with no room after it", EndingWith(L"COM"), {}},
        {"one position after COM", EndingWith(L"COM7"), {7}},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        Fake::deviceNames = row.names;
        EXPECT_EQ(DiscoverPorts(), row.expected) << row.name;
    }
}

TEST(DiscoverPorts, GrowsTheBufferUntilTheListFits) {
    // About 90,000 characters of other devices, then the port.
    std::wstring names;
    for (int i = 0; names.size() < 90000; ++i) names += L"Device" + std::to_wstring(i) + L'\0';
    names += List({L"COM33"});
    for (std::uint32_t error : {kErrorInsufficientBuffer, kErrorMoreData}) {
        Fake::Reset();
        Fake::deviceNames = names;
        Fake::listError = error;
        EXPECT_EQ(DiscoverPorts(), PortNumbers{33}) << "error " << error;
        EXPECT_EQ(Fake::log, (std::vector<std::string>{"list 65536", "list 131072"}));
    }
}

TEST(DiscoverPorts, OtherFailuresAndEndlessFailuresStop) {
    Fake::Reset();
    Fake::deviceNames = std::wstring(70000, L'x') + List({L"COM1"});
    Fake::listError = 5;  // access denied: more room would not help
    EXPECT_EQ(DiscoverPorts(), PortNumbers{});
    EXPECT_EQ(Fake::log, std::vector<std::string>{"list 65536"});

    // A list that never fits: the growth stops at a bound, what was written is still scanned.
    Fake::Reset();
    Fake::deviceNames = List({L"COM2"}) + std::wstring(8u << 20, L'x');
    EXPECT_EQ(DiscoverPorts(), PortNumbers{2});
    ASSERT_FALSE(Fake::log.empty());
    EXPECT_LE(Fake::log.size(), 8u);
    EXPECT_EQ(Fake::log.back(), "list 4194304");
}

// Whole random buffers, drawn mostly from the letters that matter. Under
// AddressSanitizer any read outside the buffer fails the run.
TEST(DiscoverPorts, RandomBuffersStayInsideAndFindAtMostOnePortPerCom) {
    std::mt19937 random(20261207);
    const wchar_t alphabet[] = L"COMCOMC0123456789\0\0x";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet / sizeof *alphabet - 2);
    for (int round = 0; round < 40; ++round) {
        std::wstring names(kBuffer, L'\0');
        for (wchar_t& c : names) c = alphabet[pick(random)];
        std::size_t coms = 0;
        for (std::size_t p = 0; p + 3 < names.size(); ++p)
            coms += names.compare(p, 3, L"COM") == 0;
        Fake::Reset();
        Fake::deviceNames = names;
        const PortNumbers found = DiscoverPorts();
        EXPECT_LE(found.size(), coms) << "round " << round;
        for (std::int32_t number : found) EXPECT_GE(number, 0) << "round " << round;
    }
}

}  // namespace
