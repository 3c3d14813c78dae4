#include "ADCStream.h"

#include "CallTrace.h"

#include <algorithm>

namespace velmora {

ADCStream::ADCStream(const ADCConversion& adc, const std::vector<SparseWaveform<double>::Sample>& in,
                     std::int64_t phase, MersenneTwister& rng, Scratch* scratch, CallTrace* trace,
                     InterruptCheck interrupt)
    : adc_(&adc), in_(&in), taps_(static_cast<std::int64_t>(adc.pulse_shape().kernel().size())), ratio_(adc.ratio()),
      phase_(phase), rng_(&rng), lent_(scratch), trace_(trace), interrupt_(interrupt) {
    // A phase at or beyond the period picks no point at all.
    if (taps_ == 0 || phase_ >= ratio_) {
        next_first_ = in.size();
    }
}

std::size_t ADCStream::size_hint() const {
    return std::min(in_->size() * static_cast<std::size_t>(taps_ / ratio_ + 1), std::size_t{1} << 24);
}

bool ADCStream::next_stretch(std::int64_t& p, std::int64_t& k, std::size_t& lo, std::size_t& hi) {
    const auto& in = *in_;
    if (next_first_ >= in.size()) {
        return false;
    }
    // Entries whose tap ranges overlap or touch.
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
    p = begin + offset;
    k = (p - phase_) / ratio_; // exact: p is phase_ plus a whole number of periods
    lo = next_first_;
    hi = next_first_;
    stretch_last_ = last;
    next_first_ = last + 1;
    return true;
}

// The shaped waveform stores exactly the indices covered by [a, a + taps - 1]
// of some entry a; its value at p sums v * kernel[p - a] over the entries in
// [p - taps + 1, p] in increasing index order, the first term standing alone,
// as the convolution adds them. Only the points p = k * ratio + phase of each
// covered stretch are visited. The position is held in locals while the
// points of a stretch are formed.
std::size_t ADCStream::points_into(std::vector<SparseWaveform<double>::Sample>& points, std::size_t max) {
    // Written through a pointer into room for `max` points: no capacity
    // check per point.
    if (points.size() < max) {
        points.resize(max);
    }
    auto* out = points.data();
    std::size_t count = 0;
    const auto& in = *in_;
    const auto& kernel = adc_->pulse_shape().kernel();
    std::int64_t p = p_;
    std::int64_t k = k_;
    std::size_t lo = lo_;
    std::size_t hi = hi_;
    while (count < max) {
        if (p > end_) {
            if (!next_stretch(p, k, lo, hi)) {
                break;
            }
            continue; // the stretch may hold no point
        }
        const std::int64_t end = end_;
        const std::size_t last = stretch_last_;
        for (; p <= end && count < max; p += ratio_, ++k) {
            while (in[lo].first < p - taps_ + 1) {
                ++lo;
            }
            while (hi <= last && in[hi].first <= p) {
                ++hi;
            }
            double sum = in[lo].second * kernel[static_cast<std::size_t>(p - in[lo].first)];
            for (std::size_t j = lo + 1; j < hi; ++j) {
                sum = in[j].second * kernel[static_cast<std::size_t>(p - in[j].first)] + sum;
            }
            out[count++] = {k, sum};
        }
    }
    p_ = p;
    k_ = k;
    lo_ = lo;
    hi_ = hi;
    return count;
}

std::size_t ADCStream::fill(std::vector<Entry>& block, std::size_t max) {
    // In three passes over the block: the sampled points, their normal draws
    // in index order, then the conversion to counts. The points draw nothing,
    // so the draws keep their order.
    interrupt_.poll();
    Scratch& scratch = lent_ != nullptr ? *lent_ : own_;
    auto& points = scratch.points;
    auto& gaussians = scratch.gaussians;
    const std::size_t n = points_into(points, max);
    if (gaussians.size() < n) {
        gaussians.resize(n);
    }
    // The distribution and the generator are held in locals for the loop, so
    // that the distribution's saved value stays in registers; the draws are
    // the same, and the state goes back afterwards.
    auto gauss = gauss_;
    MersenneTwister& rng = *rng_;
    for (std::size_t i = 0; i < n; ++i) {
        gaussians[i] = gauss(rng);
    }
    gauss_ = gauss;
    // Every entry is overwritten: resized, not cleared, so that a block of
    // the same size as the last is not filled with zeros first.
    block.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        block[i] = {points[i].first, adc_->count(points[i].second, gaussians[i])};
    }
    if (trace_ != nullptr) {
        for (std::size_t i = 0; i < n; ++i) {
            if (adc_->clipped(points[i].second, gaussians[i])) {
                trace_->adc_clipped.push_back(points[i].first);
            }
        }
    }
    return n;
}

} // namespace velmora
