#pragma once

// A way to abandon long calls. Loops that may run for a long time (PE
// deposits, ADC entries, shaped samples, calibration runs) poll an
// InterruptCheck between pieces of work; the check may throw, and its
// exception then leaves the call. A caller hands its check to the models
// explicitly (SimulateContext); the velmora module instead installs one for
// its thread with an InterruptScope (pending signals: Ctrl-C), which calls
// without a check of their own fall back to. Without a check, a poll does
// nothing.
//
// An abandoned call leaves the model's generator advanced by an unspecified
// amount; a call that is not abandoned is unchanged by the polls.

#include "Export.h"

#include <cstddef>
#include <functional>

namespace velmora {

// Pieces of work between two polls in loops whose single steps take well
// under a microsecond (one PE, one shaped sample, one entry): a poll then
// costs nothing measurable, and polls still come many times a second.
inline constexpr std::size_t interrupt_interval = 4096;

// The check that a call polls: a reference to a callable that lives at least
// as long as the call, or none. Cheap to copy and pass down the stages.
class VELMORA_EXPORT InterruptCheck {
  public:
    // No check: polls do nothing.
    constexpr InterruptCheck() noexcept = default;
    // Polls run `check` (an empty function counts as none); it must outlive
    // every copy of this object.
    explicit InterruptCheck(const std::function<void()>& check) noexcept : check_(check ? &check : nullptr) {}

    // The check that an InterruptScope installed for the current thread, or
    // none: what calls without a check of their own poll.
    static InterruptCheck installed() noexcept;

    // Runs the check, if any.
    void poll() const {
        if (check_ != nullptr) {
            (*check_)();
        }
    }

    // Polls once every interrupt_interval calls; for counting loops.
    void poll_every(std::size_t i) const {
        if (i % interrupt_interval == 0) {
            poll();
        }
    }

  private:
    const std::function<void()>* check_ = nullptr;
};

// Installs `check` as the interrupt check of the current thread for the
// lifetime of the scope; the check that was installed before comes back when
// the scope ends, so scopes nest. The velmora module's way to make Ctrl-C
// reach calls that take no check of their own.
class VELMORA_EXPORT InterruptScope {
  public:
    explicit InterruptScope(std::function<void()> check);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

  private:
    std::function<void()> check_;
    const std::function<void()>* previous_;
};

// Runs the check installed for the current thread, if any.
VELMORA_EXPORT void poll_interrupt();

// Polls the installed check once every interrupt_interval calls.
inline void poll_interrupt_every(std::size_t i) {
    if (i % interrupt_interval == 0) {
        poll_interrupt();
    }
}

} // namespace velmora
