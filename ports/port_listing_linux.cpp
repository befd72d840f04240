#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

#include "ports/port_listing.h"

namespace fs = std::filesystem;

namespace {

const char* const kFamilies[] = {"ttyS", "ttyUSB", "ttyACM"};

// The names in a directory, sorted; none when it cannot be read.
std::vector<std::string> NamesIn(const std::string& directory) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entry(directory, error); !error && entry != fs::directory_iterator();
         entry.increment(error))
        names.push_back(entry->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The family's index and the device's number ("ttyUSB10" is 1, 10), or
// family -1 for any other name.
std::pair<int, long> KindOfTty(const std::string& name) {
    for (int family = 0; family < 3; ++family) {
        const std::string prefix = kFamilies[family];
        if (name.rfind(prefix, 0) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (!digits.empty() && digits.size() < 9 &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return {family, std::stol(digits)};
    }
    return {-1, 0};
}

// The kernel makes ttyS0 to ttyS3 whether or not a UART is there; those
// without one have the port type 0 (unknown).
bool BackedByDriver(const std::string& sysTty) {
    std::error_code error;
    if (!fs::exists(sysTty + "/device/driver", error)) return false;
    std::ifstream type(sysTty + "/type");
    std::string value;
    return !(type >> value) || value != "0";
}

}  // namespace

std::vector<std::string> ListTtyPorts(const std::string& root) {
    std::vector<std::string> ports;
    std::set<std::string> linked;  // the devices that a by-id link names
    std::error_code error;
    for (const std::string& link : NamesIn(root + "/dev/serial/by-id")) {
        const fs::path device = fs::canonical(root + "/dev/serial/by-id/" + link, error);
        if (error) continue;
        linked.insert(device.filename().string());
        ports.push_back("/dev/serial/by-id/" + link);
    }

    std::vector<std::tuple<int, long, std::string>> ttys;
    for (const std::string& name : NamesIn(root + "/sys/class/tty")) {
        const auto [family, number] = KindOfTty(name);
        if (family >= 0 && !linked.count(name) && fs::exists(root + "/dev/" + name, error) &&
            BackedByDriver(root + "/sys/class/tty/" + name))
            ttys.emplace_back(family, number, name);
    }
    std::sort(ttys.begin(), ttys.end());
    for (const auto& tty : ttys) ports.push_back("/dev/" + std::get<2>(tty));
    return ports;
}
