#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "service/access.h"
#include "service/http_server.h"
#include "tests/temporary_directory.h"

namespace {

TEST(ParseListen, NumericAddressesAndAPort) {
    struct Row {
        const char* text;
        const char* address;  // "" when refused
        int port;
        bool loopback;
    } rows[] = {
        {"127.0.0.1:8080", "127.0.0.1", 8080, true},
        {"127.1.2.3:0", "127.1.2.3", 0, true},
        {"[::1]:8080", "::1", 8080, true},
        {"0.0.0.0:8080", "0.0.0.0", 8080, false},
        {"192.168.1.5:80", "192.168.1.5", 80, false},
        {"[::]:8080", "::", 8080, false},
        {"128.0.0.1:1", "128.0.0.1", 1, false},
        {"localhost:8080", "", 0, false},
        {"127.0.0.1", "", 0, false},
        {"127.0.0.1:65536", "", 0, false},
        {"127.0.0.1:-1", "", 0, false},
        {"::1:8080", "", 0, false},
        {":8080", "", 0, false},
    };
    for (const Row& row : rows) {
        std::string address;
        int port = -1;
        const std::string problem = ParseListen(row.text, &address, &port);
        if (row.address[0] == '\0') {
            EXPECT_NE(problem, "") << row.text;
            continue;
        }
        EXPECT_EQ(problem, "") << row.text;
        EXPECT_EQ(address, row.address) << row.text;
        EXPECT_EQ(port, row.port) << row.text;
        EXPECT_EQ(IsLoopbackAddress(address), row.loopback) << row.text;
    }
}

TEST(IsLoopbackHost, OnlyNamesOfThisMachinesLoopback) {
    const std::pair<const char*, bool> rows[] = {
        {"localhost", true}, {"localhost:8080", true}, {"LOCALHOST:8080", true}, {"localhost.", true},
        {"127.0.0.1", true}, {"127.0.0.1:8080", true}, {"127.9.9.9:1", true}, {"[::1]", true}, {"[::1]:8080", true},
        {"example.org", false}, {"example.org:8080", false}, {"attacker.localhost.example", false},
        {"localhost.example.org", false}, {"192.168.1.5:8080", false}, {"[::2]:8080", false}, {"", false},
        {"localhost:", false}, {"localhost:80x", false}, {"[::1", false}, {"127.0.0.1.nip.io", false},
    };
    for (const auto& [host, loopback] : rows) EXPECT_EQ(IsLoopbackHost(host), loopback) << host;
}

TEST(Admit, HostOriginAndTokenInThatOrder) {
    struct Row {
        bool loopbackOnly;
        const char* method;
        const char* path;
        std::vector<std::pair<std::string, std::string>> headers;
        int status;  // 0: let in
    } rows[] = {
        {true, "GET", "/api/boards", {{"host", "example.lan"}, {"authorization", "Bearer t0k"}}, 421},
        {false, "GET", "/api/boards", {{"host", "example.lan"}, {"authorization", "Bearer t0k"}}, 0},
        {false, "POST", "/api/outputs/1", {{"host", "example.lan:8080"}, {"origin", "http://example.lan:8080"},
                                           {"authorization", "bearer t0k"}}, 0},
        {false, "POST", "/api/outputs/1", {{"host", "example.lan"}, {"origin", "http://evil.example"},
                                           {"authorization", "Bearer t0k"}}, 403},
        {true, "POST", "/api/outputs/1", {{"sec-fetch-site", "cross-site"}, {"authorization", "Bearer t0k"}}, 403},
        {true, "GET", "/", {{"sec-fetch-site", "cross-site"}, {"sec-fetch-mode", "navigate"}}, 0},
        {true, "GET", "/", {{"sec-fetch-site", "cross-site"}, {"sec-fetch-mode", "navigate"}, {"origin", "null"}}, 403},
        {true, "GET", "/healthz", {}, 0},
        {true, "GET", "/api/boards", {}, 401},
        {true, "GET", "/api/boards", {{"authorization", "Bearer t0kk"}}, 401},
        {true, "GET", "/api/boards", {{"authorization", "BEARER\tt0k"}}, 0},
    };
    for (const Row& row : rows) {
        HttpHead head;
        head.method = row.method;
        head.path = row.path;
        head.headers = row.headers;
        const Refusal refusal = Admit(head, {"t0k", row.loopbackOnly});
        EXPECT_EQ(refusal.status, row.status) << row.method << " " << row.path << " " << refusal.error
                                              << (row.loopbackOnly ? " (loopback)" : " (open address)");
    }
}

TEST(SameToken, EqualOnlyWhenWhole) {
    const std::tuple<const char*, const char*, bool> rows[] = {
        {"s3cret", "s3cret", true}, {"s3cre", "s3cret", false}, {"s3cret!", "s3cret", false},
        {"S3cret", "s3cret", false}, {"", "s3cret", false}, {"", "", false}, {"s3crets3cret", "s3cret", false},
    };
    for (const auto& [given, token, same] : rows) EXPECT_EQ(SameToken(given, token), same) << given << " " << token;
}

TEST(ReadToken, AFileOthersCannotReadOrTheCredential) {
    TemporaryDirectory directory;
    const std::string path = directory.path + "/token";
    unsetenv("CREDENTIALS_DIRECTORY");
    struct Row {
        const char* text;
        mode_t mode;
        const char* token;  // "" when refused
    } rows[] = {
        {"s3cret\n", 0600, "s3cret"}, {"s3cret", 0640, "s3cret"}, {"s3cret\n", 0644, ""},
        {"s3cret\n", 0602, ""}, {"\n", 0600, ""}, {"two words\n", 0600, ""},
    };
    for (const Row& row : rows) {
        Write(path, row.text);
        chmod(path.c_str(), row.mode);
        std::string token;
        const std::string problem = ReadToken(path, &token);
        EXPECT_EQ(problem.empty() ? token : "", row.token) << row.text << " " << std::oct << row.mode << ": " << problem;
    }
    // Under systemd the credential is used, whatever the file's mode.
    Write(directory.path + "/credentials-token", "from-systemd\n");
    std::filesystem::create_directory(directory.path + "/credentials");
    std::filesystem::rename(directory.path + "/credentials-token", directory.path + "/credentials/token");
    setenv("CREDENTIALS_DIRECTORY", (directory.path + "/credentials").c_str(), 1);
    std::string token;
    EXPECT_EQ(ReadToken(path, &token), "");
    EXPECT_EQ(token, "from-systemd");
    unsetenv("CREDENTIALS_DIRECTORY");
}

}  // namespace
