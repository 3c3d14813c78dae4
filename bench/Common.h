#pragma once

// Small helpers that every part of the native benchmark uses: bitwise equality of values, the one way to
// stop a run with a message, and printf-style number formatting.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace velmora::bench {

// Equality of the object representation: floats compare bit for bit, so -0.0 differs from 0.0 and a NaN
// equals itself, which is what "the same record" means for a seeded run.
template <typename T>
bool same_bits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

[[noreturn]] inline void fail(const std::string& message) {
    std::cout.flush();
    std::cerr << "velmora_bench: " << message << std::endl;
    std::exit(EXIT_FAILURE);
}

inline std::string format(const char* spec, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, spec, value);
    return buffer;
}

} // namespace velmora::bench
