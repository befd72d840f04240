// The line to the service that owns a port, where there is one: a local
// socket on which the sender hands over its command, one request per line,
// one answer per line. service_link_posix.cpp and service_link_win32.cpp
// are the platforms' calls.
#pragma once

#include <string>

namespace ServiceLink {

// Connects to the socket at path; false when no service listens there.
bool Connect(const std::string& path, int* link);

enum class Read { Line, Closed, Interrupted, Failed };

// Sends one request line and reads its answer (without the line end). A
// signal ends the wait early (Interrupted).
Read Ask(int link, const std::string& request, std::string* answer);

void Close(int link);

}  // namespace ServiceLink
