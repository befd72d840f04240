#include "service/access.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "board/values.h"
#include "service/http_server.h"

std::string ParseListen(const std::string& text, std::string* address, int* port) {
    const std::string form = "expected ADDRESS:PORT, such as 127.0.0.1:8080 or [::1]:8080";
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return "bad listen address " + Quoted(text) + ": " + form;
    std::string host = text.substr(0, colon);
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    // An IPv6 address needs its brackets, or its last group would be the port.
    if (!bracketed && host.find(':') != std::string::npos) return "bad listen address " + Quoted(text) + ": " + form;
    in6_addr ignored;
    const bool numeric = inet_pton(AF_INET, host.c_str(), &ignored) == 1 || inet_pton(AF_INET6, host.c_str(), &ignored) == 1;
    std::int64_t number = 0;
    if (!numeric || !ParseWholeNumber(text.substr(colon + 1), 65535, &number))
        return "bad listen address " + Quoted(text) + ": " + form;
    *address = host;
    *port = static_cast<int>(number);
    return "";
}

bool IsLoopbackAddress(const std::string& address) {
    in_addr four;
    if (inet_pton(AF_INET, address.c_str(), &four) == 1) return (ntohl(four.s_addr) >> 24) == 127;
    in6_addr six;
    return inet_pton(AF_INET6, address.c_str(), &six) == 1 && IN6_IS_ADDR_LOOPBACK(&six);
}

bool IsLoopbackHost(const std::string& host) {
    std::string name = host;
    if (!name.empty() && name.front() == '[') {
        const std::size_t end = name.find(']');
        if (end == std::string::npos) return false;
        const std::string rest = name.substr(end + 1);
        std::int64_t port = 0;
        if (!rest.empty() && !(rest[0] == ':' && ParseWholeNumber(rest.substr(1), 65535, &port))) return false;
        return IsLoopbackAddress(name.substr(1, end - 1));
    }
    const std::size_t colon = name.find(':');
    if (colon != std::string::npos) {
        std::int64_t port = 0;
        if (!ParseWholeNumber(name.substr(colon + 1), 65535, &port)) return false;
        name = name.substr(0, colon);
    }
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    in_addr four;
    if (inet_pton(AF_INET, name.c_str(), &four) == 1) return IsLoopbackAddress(name);
    return name == "localhost" || name == "localhost.";
}

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

// A page of another site: its browser names that site as the Origin, or
// says cross-site. Following a link to the page itself is let through: the
// page switches nothing by being shown, and cannot be framed.
bool CrossSite(const HttpHead& head) {
    const std::string origin = head.Header("origin");
    if (head.method == "GET" && head.path == "/" && head.Header("sec-fetch-mode") == "navigate" && origin.empty())
        return false;
    if (Lower(head.Header("sec-fetch-site")) == "cross-site") return true;
    for (const auto& [name, value] : head.headers)
        if (name == "origin" && Lower(value) != "http://" + Lower(head.Header("host"))) return true;
    return false;
}

}  // namespace

Refusal Admit(const HttpHead& head, const AccessPolicy& policy) {
    const std::string host = head.Header("host");
    if (policy.loopbackOnly && !host.empty() && !IsLoopbackHost(host))
        return {421, "this service answers only to its loopback address (localhost)", {}};
    if (CrossSite(head))
        return {403, "refused: a page of another site may not use this service", {}};
    if (policy.token.empty() || head.path.compare(0, 5, "/api/") != 0) return {};
    // "Bearer" in any case, then the token; blanks around it are let be.
    std::string given = head.Header("authorization");
    const std::size_t start = given.find_first_not_of(" \t");
    given = start == std::string::npos ? "" : given.substr(start);
    const bool bearer = given.size() > 6 && Lower(given.substr(0, 6)) == "bearer" && (given[6] == ' ' || given[6] == '\t');
    std::string token = bearer ? given.substr(7) : "";
    token.erase(0, token.find_first_not_of(" \t"));
    token.erase(token.find_last_not_of(" \t") + 1);
    const std::vector<std::pair<std::string, std::string>> challenge = {{"WWW-Authenticate", "Bearer realm=\"octolatch\""}};
    if (given.empty()) return {401, "a token is needed: Authorization: Bearer TOKEN", challenge};
    if (!bearer || token.empty()) return {401, "the Authorization header is not 'Bearer TOKEN'", challenge};
    if (!SameToken(token, policy.token)) return {401, "the token is wrong", challenge};
    return {};
}

namespace {

std::string ReadAll(int fd, std::string* text) {
    char buffer[512];
    while (true) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0) return "";
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::strerror(errno);
        if (text->size() + static_cast<std::size_t>(got) > 4096) return "it is over 4096 bytes";
        text->append(buffer, static_cast<std::size_t>(got));
    }
}

// What is wrong with who may read or write the file open as fd, or "".
std::string LooseRights(int fd, const std::string& path) {
    struct stat status;
    if (fstat(fd, &status) != 0) return std::strerror(errno);
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    if (status.st_uid != geteuid() && status.st_uid != 0)
        return "it belongs to uid " + std::to_string(status.st_uid) +
               ": it must be this service's account's (uid " + std::to_string(geteuid()) + ") or root's";
    if (status.st_mode & (S_IWGRP | S_IWOTH))
        return "others than its owner may write it: chmod go-w " + path;
    if (status.st_mode & S_IROTH) return "it may be read by anyone: make it readable by the service only (chmod o-rw " + path + ")";
    return "";
}

}  // namespace

std::string ReadSecret(const std::string& path, const char* credential, const std::string& what,
                       std::string* secret) {
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    const std::string passed = credentials && credentials[0] ? std::string(credentials) + "/" + credential : "";
    // systemd's credential, whenever there is one; it made its rights.
    int fd = passed.empty() ? -1 : open(passed.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    const bool fromSystemd = fd >= 0;
    const std::string file = fromSystemd ? passed : path;
    if (!fromSystemd) {
        fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 && errno == ELOOP) return what + " " + path + " is a symbolic link: name the file itself";
        if (fd < 0) return what + " " + path + ": " + std::strerror(errno);
        const std::string loose = LooseRights(fd, path);
        if (!loose.empty()) {
            close(fd);
            return what + " " + path + ": " + loose;
        }
    }
    std::string read;
    const std::string failed = ReadAll(fd, &read);
    close(fd);
    if (!failed.empty()) return what + " " + file + ": cannot read it: " + failed;
    while (!read.empty() && (read.back() == '\n' || read.back() == '\r')) read.pop_back();
    if (read.empty()) return what + " " + file + " is empty";
    *secret = read;
    return "";
}

std::string ReadToken(const std::string& path, std::string* token) {
    std::string read;
    const std::string problem = ReadSecret(path, "token", "token file", &read);
    if (!problem.empty()) return problem;
    if (read.find_first_of(" \t\r\n") != std::string::npos) return "token file " + path + ": a token is one word";
    *token = read;
    return "";
}

namespace {

// Writes text whole under another name, then puts it in place at path,
// readable by this account and, where it may give it to that group, the
// dialout group (which may open the boards' ports). Returns "" or the
// problem; *shared says whether the group may read it.
std::string WriteForDialout(const std::string& path, const std::string& text, bool* shared) {
    const std::string temporary = path + ".new";
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return std::strerror(errno);
    // A folder of the group's that passes its group on (as /run/octolatch
    // does) needs no chown, which the unit's system-call filter refuses.
    const group* dialout = getgrnam("dialout");
    struct stat made;
    *shared = dialout && fstat(fd, &made) == 0 &&
              (made.st_gid == dialout->gr_gid || fchown(fd, static_cast<uid_t>(-1), dialout->gr_gid) == 0) &&
              fchmod(fd, 0640) == 0;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    const int error = errno;
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        const int failed = written ? errno : error;
        unlink(temporary.c_str());
        return std::strerror(failed);
    }
    const std::string directory = path.substr(0, path.rfind('/') + 1);
    if (const int folder = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return "";
}

}  // namespace

std::string OwnToken(const std::string& directory, std::string* token, std::string* made) {
    const std::string path = directory + "/token";
    made->clear();
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 || errno != ENOENT) return ReadToken(path, token);
    unsigned char random[16];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        return "cannot make a token: " + std::string(std::strerror(errno));
    std::string madeToken;
    for (const unsigned char byte : random) {
        madeToken += "0123456789abcdef"[byte >> 4];
        madeToken += "0123456789abcdef"[byte & 15];
    }
    bool shared = false;
    const std::string failed = WriteForDialout(path, madeToken + "\n", &shared);
    if (!failed.empty()) return "cannot make the token " + path + ": " + failed;
    *token = madeToken;
    *made = "made the token " + path + (shared ? ", readable by this account and the dialout group"
                                               : ", readable by this account only (it is not in the dialout group)");
    return "";
}

std::string PublishToken(const std::string& directory, const std::string& token) {
    bool shared = false;
    const std::string failed = WriteForDialout(directory + "/token", token + "\n", &shared);
    if (!failed.empty()) return "cannot put the token in " + directory + ": " + failed;
    return shared ? "" : "the token in " + directory + " is not readable by the dialout group";
}

bool SameToken(const std::string& given, const std::string& token) {
    if (token.empty()) return false;
    unsigned difference = given.size() == token.size() ? 0u : 1u;
    for (std::size_t i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(token[i % token.size()]);
    return difference == 0;
}
