#pragma once

#include "Export.h"
#include "SparseConvolution.h"
#include "SparseWaveform.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace velmora {

namespace detail {
// Window starts and their distances to a candidate are wider than the 64-bit
// sample index: a start may lie a window length (up to 2^31 samples) before
// the first or after the last signal index.
__extension__ typedef __int128 wide_index;
} // namespace detail

// The ZozuvUza digital trigger. Filters the ADC samples of one channel with an
// integer kernel, divides the result by trigger_norm (truncating) and compares
// it with adc_threshold; each trigger places a readout window of
// waveform_samples samples, never overlapping the previous one. Deterministic:
// it draws no random numbers.
class VELMORA_EXPORT TriggerSim {
  public:
    // Throws std::invalid_argument when adc_step is not a finite positive
    // number or trigger_norm is 0.
    TriggerSim(double adc_step, int waveform_samples, int retrigger_offset, std::vector<int> trigger_kernel,
               int adc_threshold, int trigger_norm);

    // Trigger times in seconds (window start index times adc_step), in the
    // order found. A filtered entry is a candidate once it is at least
    // kernel_size entries into a run of consecutive stored indices; it
    // triggers when its scaled value exceeds the threshold and it lies at
    // least retrigger_offset samples after the last window start. Throws
    // std::runtime_error when the waveform's step differs from adc_step by
    // more than 0.1 %.
    std::vector<double> simulate(const SparseWaveform<unsigned short>& adc_waveform) const;

    // The trigger decision alone: filtered entries fed one at a time in
    // increasing index order, the first one included. simulate feeds it the
    // whole filtered signal; a caller that filters as it goes feeds it entry
    // by entry and gets the same triggers.
    class Decision {
      public:
        explicit Decision(const TriggerSim& sim) : sim_(&sim) {}
        // True, with the window start time in seconds, when the entry triggers.
        bool feed(std::int64_t j, int s, double& trigger_time);

        // The same decision for a caller that keeps the runs itself: start
        // with the first filtered index of the call; then, for any entry that
        // may trigger, pass its position in its run of consecutive indices
        // (0 for the first index of a run). Entries left out must be ones whose
        // value cannot pass the threshold.
        void start(std::int64_t first);
        bool candidate(std::int64_t j, std::uint64_t run, int s, double& trigger_time);

      private:
        const TriggerSim* sim_;
        bool started_ = false;
        std::int64_t prev_ = 0;
        std::uint64_t run_ = 0;
        // Window starts and their distances to a candidate are wider than the
        // 64-bit sample index: a start may lie a window length (up to 2^31
        // samples) before the first or after the last signal index.
        detail::wide_index last_start_ = 0;
    };

    // The filtered signal of ADC entries pushed one at a time in increasing
    // index order, each filtered entry handed on once no later ADC entry can
    // change it. For entries whose taps land exactly (indices below 2^40 in
    // magnitude on the kernel's own grid) these are the entries and values of
    // trigger_kernel().convolve; integer sums wrap, so their order is free.
    class Filter {
      public:
        explicit Filter(const TriggerSim& sim) : taps_(sim.trigger_kernel_.kernel()), quiet_(sim.quiet_limit_) {
            // The values of the last indices up to the latest entry, one slot
            // per index, enough that the indices one filtered value reads never
            // share a slot; an index without an entry holds 0.
            std::size_t size = 1;
            while (size < taps_.size()) {
                size *= 2;
            }
            mask_ = size - 1;
            values_.assign(size, 0);
        }

        // Sink: (index, position in its run of consecutive indices, value),
        // for the filtered indices whose value can pass the threshold; the
        // others are not formed.
        template <typename Sink>
        void push(std::int64_t k, unsigned short value, Sink&& sink) {
            if (k > covered_end_ + 1) {
                emit_until(covered_end_, sink);
                run_start_ = k; // a gap: a new run of filtered indices
            } else {
                emit_until(k - 1, sink);
            }
            // Indices skipped since the latest entry read as 0 for the
            // filtered values that k reaches.
            const std::int64_t first_unset = std::max(last_ + 1, k - static_cast<std::int64_t>(mask_));
            for (std::int64_t idx = first_unset; idx < k; ++idx) {
                values_[static_cast<std::size_t>(idx) & mask_] = 0;
            }
            values_[static_cast<std::size_t>(k) & mask_] = value;
            if (static_cast<int>(value) > quiet_) {
                last_loud_ = k;
            }
            last_ = k;
            next_ = k;
            covered_end_ = k + static_cast<std::int64_t>(taps_.size()) - 1;
        }

        template <typename Sink>
        void finish(Sink&& sink) {
            emit_until(covered_end_, sink);
        }

        // Every filtered index still to come is at least this.
        std::int64_t next_index() const noexcept { return next_; }

      private:
        // Forms the values of the indices from next_ to last that a loud
        // entry reaches: only they can pass the threshold.
        template <typename Sink>
        void emit_until(std::int64_t last, Sink& sink) {
            const auto taps = static_cast<std::int64_t>(taps_.size());
            const std::int64_t stop = std::min(last, last_loud_ + taps - 1);
            for (std::int64_t j = next_; j <= stop; ++j) {
                if (j > last_) {
                    // After the latest entry: reads 0. Cleared only now, since
                    // its slot served an index that the previous value read.
                    values_[static_cast<std::size_t>(j) & mask_] = 0;
                }
                int sum = 0;
                for (std::int64_t i = 0; i < taps; ++i) {
                    const int v = values_[static_cast<std::size_t>(j - i) & mask_];
                    sum = detail::wrap_add(sum, detail::wrap_mul(v, taps_[static_cast<std::size_t>(i)]));
                }
                sink(j, static_cast<std::uint64_t>(j - run_start_), sum);
            }
            next_ = std::max(next_, last + 1);
        }

        const std::vector<int>& taps_;
        int quiet_;
        std::vector<int> values_;
        std::size_t mask_ = 0;
        std::int64_t last_ = std::numeric_limits<std::int64_t>::min() / 2;      // index of the latest entry
        std::int64_t last_loud_ = std::numeric_limits<std::int64_t>::min() / 2; // of the latest value above quiet
        std::int64_t run_start_ = 0;                                            // first index of the current run
        std::int64_t next_ = 0;
        std::int64_t covered_end_ = std::numeric_limits<std::int64_t>::min() / 2;
    };

    // Whether the filtered value s, divided by trigger_norm with truncation
    // toward zero, exceeds adc_threshold: the same answer as that division in
    // 64 bits (defined also for INT_MIN / -1), by one comparison.
    bool passes_threshold(int s) const noexcept {
        const std::int64_t v = trigger_norm_ > 0 ? std::int64_t{s} : -std::int64_t{s};
        return v >= min_passing_;
    }

    double adc_step() const noexcept { return adc_step_; }
    int waveform_samples() const noexcept { return waveform_samples_; }
    int retrigger_offset() const noexcept { return retrigger_offset_; }
    // -ceil(kernel_size / 2): places the first window start of a call.
    int kernel_offset() const noexcept { return kernel_offset_; }
    std::uint64_t kernel_size() const noexcept { return kernel_size_; }
    const SparseConvolution<int>& trigger_kernel() const noexcept { return trigger_kernel_; }
    int adc_threshold() const noexcept { return adc_threshold_; }
    int trigger_norm() const noexcept { return trigger_norm_; }

  private:
    double adc_step_;
    int waveform_samples_;
    int retrigger_offset_;
    int kernel_offset_;
    std::uint64_t kernel_size_;
    SparseConvolution<int> trigger_kernel_;
    int adc_threshold_;
    int trigger_norm_;
    // ADC values at or below this keep every filtered value they enter below
    // the threshold: (Sum of the taps of the sign that can pass) x value
    // stays under min_passing_; -1 when no value is that small.
    int quiet_limit_ = -1;
    // The least s (sign-adjusted by trigger_norm) whose quotient exceeds the
    // threshold: trunc(s / |norm|) > thr holds exactly for s >= (thr + 1)|norm|
    // when thr >= 0, and for s > thr |norm| when thr < 0.
    std::int64_t min_passing_ = 0;
};

// Inline: these run once per filtered entry.
inline void TriggerSim::Decision::start(std::int64_t first) {
    // The first window of a call starts at its own candidate index.
    started_ = true;
    prev_ = first;
    last_start_ = detail::wide_index{first} + sim_->kernel_offset_ - sim_->waveform_samples_;
}

inline bool TriggerSim::Decision::feed(std::int64_t j, int s, double& trigger_time) {
    if (!started_) {
        start(j); // the first entry opens a run and is never a candidate
        return false;
    }
    // Indices strictly increase, so prev + 1 does not overflow.
    const bool continues_run = j == prev_ + 1;
    prev_ = j;
    if (!continues_run) {
        run_ = 0;
        return false;
    }
    ++run_;
    return candidate(j, run_, s, trigger_time);
}

inline bool TriggerSim::Decision::candidate(std::int64_t j, std::uint64_t run, int s, double& trigger_time) {
    const TriggerSim& t = *sim_;
    // The first kernel_size entries of a run are filtered from a partly
    // filled kernel.
    if (run < t.kernel_size_) {
        return false;
    }
    if (!t.passes_threshold(s)) {
        return false;
    }
    const detail::wide_index distance = detail::wide_index{j} - last_start_;
    if (distance < t.retrigger_offset_) {
        return false;
    }
    // A window never starts inside the previous one: it is pushed to the
    // previous window's end when the candidate comes too early.
    last_start_ = distance >= t.waveform_samples_ ? detail::wide_index{j} : last_start_ + t.waveform_samples_;
    trigger_time = static_cast<double>(last_start_) * t.adc_step_;
    return true;
}

} // namespace velmora
