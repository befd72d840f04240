// Finding the serial ports: every "COM" followed by digits in the
// platform's list of device names.
#pragma once

#include <cstdint>
#include <vector>

using PortNumbers = std::vector<std::int32_t>;

// The port numbers found at start-up, in the order found; duplicates kept.
extern PortNumbers PortList;

PortNumbers DiscoverPorts();
