#include "TriggerStream.h"

#include <algorithm>

namespace velmora {

TriggerFilter::TriggerFilter(const TriggerSettings& settings)
    : taps_(settings.trigger_kernel().kernel()), quiet_(settings.quiet_limit()) {
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
