#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <string>
#include <vector>

#include "ports/port_listing.h"
#include "tests/fake_serial_line.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// Builds a machine's /dev and /sys below a fresh directory, from lines:
// "dev NAME" a device node, "link NAME TARGET" a by-id link, "driver NAME"
// a tty with a driver, "type NAME N" its serial port type.
std::string Machine(const Names& facts) {
    static int count = 0;
    const fs::path root = fs::temp_directory_path() /
                          ("octolatch-listing-" + std::to_string(getpid()) + "-" + std::to_string(++count));
    fs::remove_all(root);
    fs::create_directories(root / "dev/serial/by-id");
    fs::create_directories(root / "sys/class/tty");
    for (const std::string& fact : facts) {
        std::istringstream words(fact);
        std::string kind, name, more;
        words >> kind >> name >> more;
        if (kind == "dev") std::ofstream(root / "dev" / name).put('\n');
        if (kind == "link") fs::create_symlink(more, root / "dev/serial/by-id" / name);
        if (kind == "driver") fs::create_directories(root / "sys/class/tty" / name / "device/driver");
        if (kind == "type") std::ofstream(root / "sys/class/tty" / name / "type") << more << "\n";
    }
    return root.string();
}

TEST(ListTtyPorts, LinksFirstThenDevicesWithADriverEachOnce) {
    struct Row {
        const char* name;
        Names facts;
        Names ports;
    } rows[] = {
        {"nothing", {}, {}},
        {"an adapter with a by-id link is listed once, by its link",
         {"dev ttyUSB0", "driver ttyUSB0", "link usb-FTDI_A1-if00-port0 ../../ttyUSB0"},
         {"/dev/serial/by-id/usb-FTDI_A1-if00-port0"}},
        {"families in order, numbers in numeric order",
         {"dev ttyACM0", "driver ttyACM0", "dev ttyS10", "driver ttyS10", "dev ttyS2", "driver ttyS2",
          "dev ttyUSB1", "driver ttyUSB1"},
         {"/dev/ttyS2", "/dev/ttyS10", "/dev/ttyUSB1", "/dev/ttyACM0"}},
        {"a UART slot with no UART (type 0) is left out",
         {"dev ttyS0", "driver ttyS0", "type ttyS0 4", "dev ttyS1", "driver ttyS1", "type ttyS1 0"},
         {"/dev/ttyS0"}},
        {"no driver, no device node, or another kind of tty: left out",
         {"dev ttyUSB3", "driver ttyUSB4", "dev tty0", "driver tty0", "dev ttyprintk", "driver ttyprintk",
          "dev ttySX", "driver ttySX"},
         {}},
        {"a dangling link is left out", {"link usb-gone ../../ttyUSB9"}, {}},
    };
    for (const Row& row : rows) {
        const std::string root = Machine(row.facts);
        EXPECT_EQ(ListTtyPorts(root), row.ports) << row.name;
        fs::remove_all(root);
    }
    EXPECT_EQ(ListTtyPorts("/nonexistent-octolatch-root"), Names{});
}

TEST(ListComPorts, TheWindowsDiscoveryOrderEachOnce) {
    struct Row {
        std::wstring names;
        Names ports;
    } rows[] = {
        {std::wstring(L"COM3\0COM1\0COM3\0XCOM12\0\0", 23), {"COM3", "COM1", "COM12"}},
        {std::wstring(L"LPT1\0\0", 6), {}},
    };
    for (const Row& row : rows) {
        Fake::Reset();
        Fake::deviceNames = row.names;
        EXPECT_EQ(ListComPorts(), row.ports);
    }
}

}  // namespace
