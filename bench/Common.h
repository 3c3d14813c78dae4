#pragma once

// Small helpers that every part of the native benchmark uses: bitwise equality of values, the one way to
// stop a run with a message, and printf-style number formatting.

#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace velmora::bench {

// Equality of the object representation: floats compare bit for bit, so -0.0 differs from 0.0 and a NaN
// equals itself, which is what "the same record" means for a seeded run.
template <typename T>
bool same_bits(const T& a, const T& b) {
    using Bytes = std::array<unsigned char, sizeof(T)>;
    return std::bit_cast<Bytes>(a) == std::bit_cast<Bytes>(b);
}

[[noreturn]] inline void fail(const std::string& message) {
    std::cout.flush();
    std::cerr << "velmora_bench: " << message << '\n';
    std::exit(EXIT_FAILURE);
}

inline std::string format(const char* spec, double value) {
    std::array<char, 64> buffer{};
    std::snprintf(buffer.data(), buffer.size(), spec, value);
    return buffer.data();
}

} // namespace velmora::bench
