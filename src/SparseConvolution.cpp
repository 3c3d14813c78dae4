#include "SparseConvolution.h"

#include <algorithm>
#include <cmath>

namespace velmora {

TapOffsets::TapOffsets(std::size_t taps, double kernel_step, double step) {
    if (taps == 0) {
        return;
    }
    positive_.assign(taps, unknown);
    negative_.assign(taps, unknown);
    constexpr long double margin = 7e-4L;
    constexpr long double max_reach = 1048576.0L; // 2^20 input steps
    const long double ratio = static_cast<long double>(kernel_step) / static_cast<long double>(step);
    for (std::size_t i = 0; i < taps; ++i) {
        const long double x = static_cast<long double>(i) * ratio;
        if (!(x < max_reach)) {
            break;
        }
        const long double up = x + 0.001L;
        const long double up_floor = std::floor(up);
        if (up - up_floor >= margin && up - up_floor <= 1.0L - margin) {
            positive_[i] = static_cast<std::int64_t>(up_floor);
        }
        const long double down = x - 0.001L;
        const long double down_ceil = std::ceil(down);
        if (down_ceil - down >= margin && down_ceil - down <= 1.0L - margin) {
            negative_[i] = static_cast<std::int64_t>(down_ceil);
        }
    }
    complete_ = std::none_of(positive_.begin(), positive_.end(), [](std::int64_t d) { return d == unknown; }) &&
                std::none_of(negative_.begin(), negative_.end(), [](std::int64_t d) { return d == unknown; });
    // Entries at or below this index have every tap at a negative time.
    const long double reach = static_cast<long double>(taps - 1) * ratio;
    all_negative_below_ = reach < max_reach ? -static_cast<std::int64_t>(std::ceil(reach)) - 1 : unknown;
}

} // namespace velmora
