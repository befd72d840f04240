// The record of what was last sent to a board: a small text file that
// survives the program, since a shift register cannot be read back.
//
//   # octolatch: the outputs last sent to this port
//   value 0x00A1
//   outputs 16
//   invert no
//   auto_off 3 1718000000000
//
// Each auto_off line is an output that is on and the moment it goes off
// by itself, in milliseconds since 1970 (records without them stay good).
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct BoardState {
    std::uint64_t value = 0;  // output k is bit 1 << (outputs - k)
    int outputs = 8;
    bool invert = false;
    std::map<int, std::int64_t> offAt;  // auto-off deadlines by output
};

std::string FormatRecord(const BoardState& state);

// Returns "" or what is wrong with text, naming the line.
std::string ParseRecord(const std::string& text, BoardState* state);

// The file name for a port's record: "port-", the port's stable path
// without "/dev/" (and without "/dev/serial/by-id/"), every character but
// letters, digits, '.', '_' and '-' written as %XX, then ".state".
std::string RecordFileName(const std::string& stablePath);

// A file name made of a path as above, without the ending.
std::string FileNameOf(const std::string& path);

// How the record at path is read: its state, no record yet (all outputs
// off, 8, not inverted), or a problem ("" when there is none).
enum class RecordRead { Found, Missing, Failed };
RecordRead ReadRecord(const std::string& path, BoardState* state, std::string* problem);

// Writes the record whole or not at all; returns "" or the reason.
std::string WriteRecord(const std::string& path, const BoardState& state);
