#pragma once

// The test program replaces the global operator new to count allocations.

#include <cstddef>

namespace velmora::testing {

// Allocations made on the calling thread so far.
std::size_t allocations_on_this_thread();

} // namespace velmora::testing
