#include "service/access.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "board/values.h"

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

std::string ReadSecret(const std::string& path, const char* credential, const std::string& what,
                       std::string* secret) {
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    std::string file = path;
    struct stat status;
    if (credentials && stat((std::string(credentials) + "/" + credential).c_str(), &status) == 0) {
        file = std::string(credentials) + "/" + credential;
    } else {
        if (stat(path.c_str(), &status) != 0) return what + " " + path + ": " + std::strerror(errno);
        if (status.st_mode & (S_IROTH | S_IWOTH))
            return what + " " + path + " may be read by anyone: make it readable by the service only (chmod o-rw)";
    }
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    std::string read = text.str();
    while (!read.empty() && (read.back() == '\n' || read.back() == '\r')) read.pop_back();
    if (!in || read.empty()) return what + " " + file + " is empty";
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

bool SameToken(const std::string& given, const std::string& token) {
    if (token.empty()) return false;
    unsigned difference = given.size() == token.size() ? 0u : 1u;
    for (std::size_t i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(token[i % token.size()]);
    return difference == 0;
}
