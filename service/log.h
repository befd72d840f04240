// The service's log: one line per event on standard error, which systemd
// keeps in the journal.
#pragma once

#include <string>

void Log(const std::string& line);
