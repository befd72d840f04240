// Who may reach the service: the address it listens on, the token, and
// the Host names that a loopback service answers.
#pragma once

#include <string>

// "127.0.0.1:8080" or "[::1]:8080": a numeric address and a port (0 for
// any free one). Returns "" or what is wrong.
std::string ParseListen(const std::string& text, std::string* address, int* port);

// 127.0.0.0/8 and ::1.
bool IsLoopbackAddress(const std::string& address);

// A Host header that names this machine's loopback: localhost, 127.x.x.x or
// [::1], with a port or without. A page elsewhere that makes a browser ask
// a loopback service (DNS rebinding) sends its own name instead.
bool IsLoopbackHost(const std::string& host);

// Reads a secret, without its line end: from $CREDENTIALS_DIRECTORY/
// CREDENTIAL when systemd passed it, else from path, which others may not
// read. Returns "" or the problem, naming the file as `what`.
std::string ReadSecret(const std::string& path, const char* credential, const std::string& what,
                       std::string* secret);

// The token, one word, as the credential "token" or from path.
std::string ReadToken(const std::string& path, std::string* token);

// Compares in a time that does not depend on where they differ.
bool SameToken(const std::string& given, const std::string& token);
