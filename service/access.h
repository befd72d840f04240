// Who may reach the service: the address it listens on, the token, the
// Host names that a loopback service answers, and the pages of other
// sites, which may not use a browser to switch anything.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct HttpHead;

// "127.0.0.1:8080" or "[::1]:8080": a numeric address and a port (0 for
// any free one). Returns "" or what is wrong.
std::string ParseListen(const std::string& text, std::string* address, int* port);

// 127.0.0.0/8 and ::1.
bool IsLoopbackAddress(const std::string& address);

// A Host header that names this machine's loopback: localhost, 127.x.x.x or
// [::1], with a port or without. A page elsewhere that makes a browser ask
// a loopback service (DNS rebinding) sends its own name instead.
bool IsLoopbackHost(const std::string& host);

struct AccessPolicy {
    std::string token;          // "" when none is needed
    bool loopbackOnly = true;   // refuse a Host that is not a loopback name
};

// Why a request is refused from its head alone; status 0 when it is not.
struct Refusal {
    int status = 0;
    std::string error;
    std::vector<std::pair<std::string, std::string>> headers;
};

// In order: a Host that is not this loopback service's (421); a request a
// page of another site made a browser send (403); an /api/ request without
// the token (401).
Refusal Admit(const HttpHead& head, const AccessPolicy& policy);

// Reads a secret, without its line end: the systemd credential CREDENTIAL
// whenever there is one, else the file at path, opened once without
// following a link and checked on that descriptor: a file of this
// account's or root's that nobody else may write and others may not
// read. Returns "" or the problem, naming the file as `what`.
std::string ReadSecret(const std::string& path, const char* credential, const std::string& what,
                       std::string* secret);

// The token, one word, as the credential "token" or from path.
std::string ReadToken(const std::string& path, std::string* token);

// The token the service makes for itself where none is configured: read
// from directory/token, or made there at the first start (128 random
// bits), readable by this account and the dialout group only. Returns ""
// or the problem; *made says what was made, when it was made now.
std::string OwnToken(const std::string& directory, std::string* token, std::string* made);

// Under systemd the state directory is the service's alone: a copy of its
// own token goes into the runtime directory, which the dialout group may
// read. Returns "" or the problem.
std::string PublishToken(const std::string& directory, const std::string& token);

// Compares in a time that does not depend on where they differ.
bool SameToken(const std::string& given, const std::string& token);
