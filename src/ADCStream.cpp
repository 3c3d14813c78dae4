#include "ADCStream.h"

#include "ADCSim.h"
#include "Interrupt.h"

#include <algorithm>

namespace velmora {

ADCStream::ADCStream(const ADCSim& adc, const std::vector<SparseWaveform<double>::Sample>& in, std::int64_t ratio,
                     std::int64_t phase, std::mt19937& rng)
    : adc_(&adc), in_(&in), taps_(static_cast<std::int64_t>(adc.pulse_shape().kernel().size())), ratio_(ratio),
      phase_(phase), rng_(&rng) {
    // A phase at or beyond the period picks no point at all.
    if (taps_ == 0 || phase_ >= ratio_) {
        next_first_ = in.size();
    }
}

std::size_t ADCStream::size_hint() const {
    return std::min(in_->size() * static_cast<std::size_t>(taps_ / ratio_ + 1), std::size_t{1} << 24);
}

// The shaped waveform stores exactly the indices covered by [a, a + taps - 1]
// of some entry a; its value at p sums v * kernel[p - a] over the entries in
// [p - taps + 1, p] in increasing index order, the first term standing alone,
// as the convolution adds them. Only the points p = k * ratio + phase of each
// covered stretch are visited.
bool ADCStream::next_point(std::int64_t& k, double& value) {
    const auto& in = *in_;
    const auto& kernel = adc_->pulse_shape().kernel();
    while (p_ > end_) {
        if (next_first_ >= in.size()) {
            return false;
        }
        // The next stretch: entries whose tap ranges overlap or touch.
        std::size_t last = next_first_;
        while (last + 1 < in.size() && in[last + 1].first <= in[last].first + taps_) {
            ++last;
        }
        const std::int64_t begin = in[next_first_].first;
        end_ = in[last].first + taps_ - 1;
        std::int64_t offset = (phase_ - begin) % ratio_;
        if (offset < 0) {
            offset += ratio_;
        }
        p_ = begin + offset;
        k_ = (p_ - phase_) / ratio_; // exact: p_ is phase_ plus a whole number of periods
        lo_ = next_first_;
        hi_ = next_first_;
        stretch_last_ = last;
        next_first_ = last + 1;
    }
    while (in[lo_].first < p_ - taps_ + 1) {
        ++lo_;
    }
    while (hi_ <= stretch_last_ && in[hi_].first <= p_) {
        ++hi_;
    }
    double sum = in[lo_].second * kernel[static_cast<std::size_t>(p_ - in[lo_].first)];
    for (std::size_t j = lo_ + 1; j < hi_; ++j) {
        sum = in[j].second * kernel[static_cast<std::size_t>(p_ - in[j].first)] + sum;
    }
    value = sum;
    k = k_++;
    p_ += ratio_;
    return true;
}

std::size_t ADCStream::fill(std::vector<Entry>& block, std::size_t max) {
    // In three passes over the block: the sampled points, their normal draws
    // in index order, then the conversion to counts. The points draw nothing,
    // so the draws keep their order.
    poll_interrupt();
    block.clear();
    Scratch& scratch = lent_ != nullptr ? *lent_ : own_;
    auto& points = scratch.points;
    auto& gaussians = scratch.gaussians;
    points.clear();
    std::int64_t k = 0;
    double value = 0.0;
    while (points.size() < max && next_point(k, value)) {
        points.emplace_back(k, value);
    }
    gaussians.resize(points.size());
    for (double& g : gaussians) {
        g = gauss_(*rng_);
    }
    block.resize(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        block[i] = {points[i].first, adc_->count(points[i].second, gaussians[i])};
    }
    return block.size();
}

} // namespace velmora
