#pragma once

// A way to abandon long calls. Loops that may run for a long time (PE
// deposits, ADC entries, shaped samples, calibration runs) poll the check
// installed for the current thread between pieces of work; the check may
// throw, and its exception then leaves the call. The Python module installs a
// check for pending signals (Ctrl-C), a worker thread one for its own cancel
// flag. Without a check installed, a poll does nothing.
//
// An abandoned call leaves the model's generator advanced by an unspecified
// amount; a call that is not abandoned is unchanged by the polls.

#include "Export.h"

#include <cstddef>
#include <functional>

namespace velmora {

// Installs `check` as the interrupt check of the current thread for the
// lifetime of the scope; the check that was installed before comes back when
// the scope ends, so scopes nest.
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

// Pieces of work between two polls in loops whose single steps take well
// under a microsecond (one PE, one shaped sample, one entry): a poll then
// costs nothing measurable, and polls still come many times a second.
inline constexpr std::size_t interrupt_interval = 4096;

// Polls once every interrupt_interval calls; for counting loops.
inline void poll_interrupt_every(std::size_t i) {
    if (i % interrupt_interval == 0) {
        poll_interrupt();
    }
}

} // namespace velmora
