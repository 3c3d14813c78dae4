// The global operator new of the test program, counting the allocations of
// each thread. In a file of its own: where the compiler sees operator delete
// inline, it mistakes the pairing of malloc and free for a mismatch.
#include "AllocationCount.h"

#include <cstdlib>
#include <new>

namespace {
thread_local std::size_t allocations = 0;
} // namespace

std::size_t velmora::testing::allocations_on_this_thread() {
    return allocations;
}

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
    ++allocations;
    return std::malloc(size == 0 ? 1 : size);
}

// Every single-object form that can release what the forms above return;
// the array and aligned forms keep their own pairs.
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t /*size*/) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t& /*tag*/) noexcept {
    std::free(p);
}
