// The paths a PORT argument leads to: the device, the name that follows an
// adapter wherever it is plugged in, and the lock that gives programs turns.
#pragma once

#include <string>

// The path a PORT names: a bare name is a device in the platform's device
// directory ("ttyUSB0" is /dev/ttyUSB0, "COM3" is \\.\COM3).
std::string DevicePath(const std::string& port);

// Linux, below root ("" on a real system): the device's real path, every
// link resolved, as a path from /dev; the path as given where it does not
// resolve. Windows: the port's name.
std::string RealPortPath(const std::string& port, const std::string& root = "");

// The path that names the same adapter wherever it is plugged in: on Linux
// the /dev/serial/by-id link that points at the device where there is one
// (so ttyUSB0 today and ttyUSB1 tomorrow are one adapter), else its real
// path; on Windows the port's name.
std::string StablePortPath(const std::string& port, const std::string& root = "");

// The socket through which the service that owns the port takes commands
// (Linux: in $OCTOLATCH_RUNTIME_DIR, else /run/octolatch, else, where only
// that one exists, in $XDG_RUNTIME_DIR/octolatch; named from the port's real
// path); "" where the platform has no service.
std::string ServiceSocketPath(const std::string& port);

// $OCTOLATCH_RUNTIME_DIR, else /run/octolatch: the service's sockets, and
// under systemd its token for the dialout group.
std::string RuntimeDirectory();

// Where this process, as the service, makes that socket: the system's
// service in $OCTOLATCH_RUNTIME_DIR or /run/octolatch, one run by hand
// without root in $XDG_RUNTIME_DIR/octolatch (made if missing).
std::string OwnServiceSocketPath(const std::string& port);

// The lock file that senders and the service take, one after the other,
// before they open the port (Linux: in the service's directory above where
// it exists, else under /run/lock); "" where the platform needs none.
std::string TurnLockPath(const std::string& port);
