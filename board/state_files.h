// The files that keep state between runs, on each platform:
// state_files_posix.cpp and state_files_win32.cpp.
#pragma once

#include <string>

namespace StateFiles {

enum class Read { Done, Missing, Failed };

// Reads the whole file; on failure `reason` says why.
Read ReadText(const std::string& path, std::string* text, std::string* reason);

// Replaces the file's contents all at once: a temporary file beside it,
// flushed to disk, renamed over it. On failure the old file stays as it
// was; returns "" or the reason.
std::string ReplaceText(const std::string& path, const std::string& text);

// The directory for this account's records, made if missing (only the
// account may enter it): $XDG_STATE_HOME/octolatch, ~/.local/state/octolatch,
// %LOCALAPPDATA%\Octolatch. "" with the reason when there is none.
std::string AccountDirectory(std::string* reason);

// The platform's separator between a directory and a file name.
extern const char kSeparator[];

}  // namespace StateFiles
