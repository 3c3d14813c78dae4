#pragma once

#include "Export.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora {

namespace detail {
// Sums and products of waveform values. Integer waveforms wrap modulo 2^32
// instead of overflowing undefinedly (a valid trigger kernel never gets there);
// unsigned short sums wrap modulo 65536; doubles are plain IEEE operations.
template <typename T>
inline T wrap_add(T a, T b) {
    if constexpr (std::is_same_v<T, int>) {
        return static_cast<int>(static_cast<unsigned int>(a) + static_cast<unsigned int>(b));
    } else {
        return static_cast<T>(a + b);
    }
}
template <typename T>
inline T wrap_mul(T a, T b) {
    if constexpr (std::is_same_v<T, int>) {
        return static_cast<int>(static_cast<unsigned int>(a) * static_cast<unsigned int>(b));
    } else {
        return static_cast<T>(a * b);
    }
}
} // namespace detail

// The one rule by which the library turns a time into a grid index: the time
// is nudged by 0.001 steps away from zero, divided by the step and truncated
// toward zero. A time computed as k * step, which may fall a hair short of the
// grid point in floating point, maps back to k.
//
// A quotient that is not finite or does not fit a signed 64-bit index has no
// grid point; it raises std::domain_error instead of truncating undefinedly.
inline std::int64_t time_to_index(double time, double step) {
    const double nudge = 0.001 * step;
    const double u = (time >= 0.0) ? (time + nudge) / step : (time - nudge) / step;
    // 2^63 is exact in double; every u in [-2^63, 2^63) truncates into range.
    if (!(u >= -9223372036854775808.0 && u < 9223372036854775808.0)) {
        throw std::domain_error("time_to_index: the time does not map to a 64-bit sample index "
                                "(not finite, or too large for the time step).");
    }
    return static_cast<std::int64_t>(u);
}

// The latest PE time that the models simulate exactly, in PMT grid steps from
// time 0 (2^40, about 110 s on a 0.1 ns grid). Up to it every grid index of
// the chain (kernel taps, sampled ADC points, window starts, TDC edges) is
// formed exactly, and a PE time keeps a resolution finer than 1/4000 of a
// grid step; beyond it a double no longer resolves the grid well enough and
// the records degrade. A long run is simulated in pieces, each relative to a
// nearer time origin.
inline constexpr double max_pe_time_steps = 1099511627776.0; // 2^40

// A waveform on a uniform time grid anchored at time 0, stored sparsely as
// (sample index, value) pairs in strictly increasing index order. An index
// without an entry reads as zero; a stored zero is kept.
template <typename T>
class VELMORA_EXPORT SparseWaveform {
  public:
    using value_type = T;
    using Sample = std::pair<std::int64_t, T>;

    explicit SparseWaveform(double time_step) : time_step_(time_step) {}

    double time_step() const noexcept { return time_step_; }
    const std::vector<Sample>& samples() const noexcept { return samples_; }
    bool empty() const noexcept { return samples_.empty(); }
    std::size_t size() const noexcept { return samples_.size(); }

    // Adds value at the grid index of time; a value that lands on a stored
    // index is added to it in T (unsigned types wrap).
    void add_sample(double time, T value) { add_at_index(time_to_index(time, time_step_), value); }

    // Same as add_sample for a known index.
    void add_at_index(std::int64_t index, T value) {
        // Appending in increasing index order is the common case: no search.
        if (samples_.empty() || samples_.back().first < index) {
            samples_.emplace_back(index, value);
            return;
        }
        auto it = lower_bound(index);
        if (it != samples_.end() && it->first == index) {
            it->second = detail::wrap_add<T>(it->second, value);
        } else {
            samples_.insert(it, Sample{index, value});
        }
    }

    // Dense copy of the half-open window [start, end): element j holds the
    // value at index i0 + j, zero where nothing is stored.
    std::vector<T> get_samples(double start_time, double end_time) const {
        if (start_time > end_time) {
            throw std::invalid_argument("End time must be greater than start time.");
        }
        const std::int64_t i0 = time_to_index(start_time, time_step_);
        const std::int64_t i1 = time_to_index(end_time, time_step_);
        std::int64_t count = 0;
        if (__builtin_sub_overflow(i1, i0, &count)) {
            throw std::length_error("SparseWaveform::get_samples: window too long.");
        }
        // A later start may map to a later index only by one nudge; never below zero.
        return samples_from(i0, static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
    }

    // Dense copy of `count` indices from `first` on, zero where nothing is
    // stored.
    std::vector<T> samples_from(std::int64_t first, std::size_t count) const {
        std::vector<T> out(count, T{});
        // Offsets in unsigned arithmetic: an index far from `first` lies
        // beyond the window without a signed overflow.
        for (auto it = lower_bound(first); it != samples_.end(); ++it) {
            const std::uint64_t offset = static_cast<std::uint64_t>(it->first) - static_cast<std::uint64_t>(first);
            if (offset >= count) {
                break;
            }
            out[offset] = it->second;
        }
        return out;
    }

    // Value at the grid index of time, zero where nothing is stored.
    T get_sample(double time) const {
        const std::int64_t k = time_to_index(time, time_step_);
        auto it = lower_bound(k);
        return (it != samples_.end() && it->first == k) ? it->second : T{};
    }

    // Builders for stages that produce entries in increasing index order.
    void reserve(std::size_t n) { samples_.reserve(n); }

    // Replaces the content by entries that already satisfy the invariant
    // (strictly increasing indices); checked, since a broken order would make
    // every later search wrong.
    void assign_sorted(std::vector<Sample> samples) {
        for (std::size_t i = 1; i < samples.size(); ++i) {
            if (!(samples[i - 1].first < samples[i].first)) {
                throw std::invalid_argument("SparseWaveform::assign_sorted: indices must strictly increase.");
            }
        }
        samples_ = std::move(samples);
    }

    // Hands the entries out and leaves the waveform empty, so that a builder
    // can refill the same storage and hand it back with assign_sorted.
    std::vector<Sample> release() noexcept { return std::exchange(samples_, {}); }

  private:
    typename std::vector<Sample>::const_iterator lower_bound(std::int64_t index) const {
        return std::lower_bound(samples_.begin(), samples_.end(), index,
                                [](const Sample& s, std::int64_t k) { return s.first < k; });
    }
    typename std::vector<Sample>::iterator lower_bound(std::int64_t index) {
        return std::lower_bound(samples_.begin(), samples_.end(), index,
                                [](const Sample& s, std::int64_t k) { return s.first < k; });
    }

    double time_step_;
    std::vector<Sample> samples_;
};

extern template class SparseWaveform<double>;
extern template class SparseWaveform<unsigned short>;
extern template class SparseWaveform<int>;

} // namespace velmora
