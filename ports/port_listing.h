// The serial ports the sender's --list offers, each once.
#pragma once

#include <string>
#include <vector>

// Windows: the ports of the window's discovery, in its order, as "COM<n>".
std::vector<std::string> ListComPorts();

// Linux, below root ("" on a real system): the links in /dev/serial/by-id,
// then the ttyS, ttyUSB and ttyACM devices that a driver backs and no link
// names, as paths from /dev.
std::vector<std::string> ListTtyPorts(const std::string& root);
