#include "Interrupt.h"

#include <utility>

namespace velmora {

namespace {
// The velmora module's check for pending signals, while one of its calls
// runs on this thread; the one thread-local of the core, and it changes no
// record: a check only ever ends a call.
thread_local const std::function<void()>* current_check = nullptr;
} // namespace

InterruptScope::InterruptScope(std::function<void()> check) : check_(std::move(check)), previous_(current_check) {
    current_check = check_ ? &check_ : nullptr;
}

InterruptScope::~InterruptScope() {
    current_check = previous_;
}

InterruptCheck InterruptCheck::installed() noexcept {
    return current_check != nullptr ? InterruptCheck(*current_check) : InterruptCheck();
}

void poll_interrupt() {
    if (current_check != nullptr) {
        (*current_check)();
    }
}

} // namespace velmora
