// StateFiles on KERNEL32. Each function is a few calls; the format and the
// rules live in record.cpp.
#include "board/state_files.h"

#include <windows.h>

#include <string>

namespace StateFiles {

namespace {

constexpr DWORD kLargestFile = 65536;

std::string Reason(DWORD code) {
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  code, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
        --length;
    return length ? std::string(text, length) : "error " + std::to_string(code);
}

}  // namespace

const char kSeparator[] = "\\";

Read ReadText(const std::string& path, std::string* text, std::string* reason) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        *reason = Reason(error);
        return error == ERROR_FILE_NOT_FOUND ? Read::Missing : Read::Failed;
    }
    text->clear();
    char buffer[4096];
    DWORD got = 0;
    BOOL ok = TRUE;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0 &&
           text->size() <= kLargestFile)
        text->append(buffer, got);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok) *reason = Reason(error);
    if (text->size() > kLargestFile) *reason = "larger than a record can be";
    return !ok || text->size() > kLargestFile ? Read::Failed : Read::Done;
}

// MOVEFILE_WRITE_THROUGH returns only once the rename is on the disk.
std::string ReplaceText(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".new-" + std::to_string(GetCurrentProcessId());
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return path + ": " + Reason(GetLastError());
    DWORD written = 0;
    const bool done = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                      written == text.size() && FlushFileBuffers(file);
    DWORD error = GetLastError();
    CloseHandle(file);
    if (done && MoveFileExA(temporary.c_str(), path.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return "";
    if (done) error = GetLastError();
    DeleteFileA(temporary.c_str());
    return path + ": " + Reason(error);
}

std::string AccountDirectory(std::string* reason) {
    char base[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", base, sizeof base);
    if (length == 0 || length >= sizeof base) {
        *reason = "%LOCALAPPDATA% is not set (use --state FILE)";
        return "";
    }
    const std::string directory = std::string(base) + "\\Octolatch";
    if (!CreateDirectoryA(directory.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        *reason = directory + ": " + Reason(GetLastError());
        return "";
    }
    return directory;
}

}  // namespace StateFiles
