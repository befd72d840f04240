// A fresh directory for one test, removed with everything in it afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

struct TemporaryDirectory {
    std::string path;

    TemporaryDirectory() {
        char name[] = "/tmp/octolatch-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TemporaryDirectory() {
        namespace fs = std::filesystem;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(path);
    }
};

inline std::string Contents(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

inline void Write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}
