// Which bit of a chain's value each output owns.
#pragma once

#include <cstdint>

// The most outputs a chain may have: eight registers of eight.
constexpr int kMostOutputs = 64;

// Output k (1 to outputs) owns bit 1 << (outputs - k): output 1 is the most
// significant bit and is shifted in last, so it ends in the first register's
// QA and the farthest register's QH takes the least significant bit.
inline std::uint64_t BitOfOutput(int output, int outputs) {
    return std::uint64_t{1} << (outputs - output);
}

// Every bit of value that an output of the chain owns.
inline std::uint64_t AllOutputs(int outputs) {
    return outputs >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << outputs) - 1;
}
