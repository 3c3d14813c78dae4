#include "TriggerStream.h"

#include <algorithm>
#include <limits>

namespace velmora {

void TriggerDecision::start(std::int64_t first) {
    // The first window of a call starts at its own candidate index.
    started_ = true;
    prev_ = first;
    last_start_ = detail::wide_index{first} + sim_->kernel_offset() - sim_->waveform_samples();
    place_first_candidate();
}

void TriggerDecision::place_first_candidate() {
    const detail::wide_index first = last_start_ + sim_->retrigger_offset();
    const detail::wide_index lowest = std::numeric_limits<std::int64_t>::min();
    const detail::wide_index highest = std::numeric_limits<std::int64_t>::max();
    first_candidate_ = static_cast<std::int64_t>(std::clamp(first, lowest, highest));
}

TriggerFilter::TriggerFilter(const TriggerSim& sim) : taps_(sim.trigger_kernel().kernel()), quiet_(sim.quiet_limit_) {
    std::size_t size = 1;
    while (size < taps_.size()) {
        size *= 2;
    }
    mask_ = size - 1;
    values_.assign(size, 0);
}

void TriggerFilter::restart() {
    std::ranges::fill(values_, 0);
    cursor_ = Cursor{};
}

} // namespace velmora
