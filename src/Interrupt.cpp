#include "Interrupt.h"

#include <utility>

namespace velmora {

namespace {
thread_local const std::function<void()>* current_check = nullptr;
} // namespace

InterruptScope::InterruptScope(std::function<void()> check) : check_(std::move(check)), previous_(current_check) {
    current_check = check_ ? &check_ : nullptr;
}

InterruptScope::~InterruptScope() {
    current_check = previous_;
}

void poll_interrupt() {
    if (current_check != nullptr) {
        (*current_check)();
    }
}

} // namespace velmora
