// The service's log: one line per event on standard error, which systemd
// keeps in the journal.
#pragma once

#include <string>

// Hands the line to the log's own thread: a reader of standard error that
// falls behind (a journal, a pipe) holds up no request and no board. Past
// 4,096 lines waiting, lines are counted instead, and the count is said.
void Log(const std::string& line);

// Returns once every line handed over has been written.
void FlushLog();
