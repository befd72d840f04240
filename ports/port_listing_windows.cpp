#include <algorithm>

#include "ports/discovery.h"
#include "ports/port_listing.h"

std::vector<std::string> ListComPorts() {
    std::vector<std::string> names;
    for (const std::int32_t number : DiscoverPorts()) {
        const std::string name = "COM" + std::to_string(number);
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}
