#pragma once

#include "Export.h"
#include "SparseConvolution.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace velmora {

namespace detail {
// Window starts and their distances to a candidate are wider than the 64-bit
// sample index: a start may lie a window length (up to 2^31 samples) before
// the first or after the last signal index.
__extension__ typedef __int128 wide_index;
} // namespace detail

// The settings of the digital trigger and what its plain form (TriggerSim) and
// its streaming form (TriggerStream) derive from them alike: the kernel's
// placement, the threshold test, and the ADC values too small to trigger.
class VELMORA_EXPORT TriggerSettings {
  public:
    // Throws std::invalid_argument when adc_step is not a finite positive
    // number or trigger_norm is 0.
    TriggerSettings(double adc_step, int waveform_samples, int retrigger_offset, std::vector<int> trigger_kernel,
                    int adc_threshold, int trigger_norm);

    // Whether the filtered value s, divided by trigger_norm with truncation
    // toward zero, exceeds adc_threshold: the same answer as that division in
    // 64 bits (defined also for INT_MIN / -1), by one comparison.
    [[nodiscard]] bool passes_threshold(int s) const noexcept {
        const std::int64_t v = trigger_norm_ > 0 ? std::int64_t{s} : -std::int64_t{s};
        return v >= min_passing_;
    }

    [[nodiscard]] double adc_step() const noexcept { return adc_step_; }
    [[nodiscard]] int waveform_samples() const noexcept { return waveform_samples_; }
    [[nodiscard]] int retrigger_offset() const noexcept { return retrigger_offset_; }
    // -ceil(kernel_size / 2): places the first window start of a call.
    [[nodiscard]] int kernel_offset() const noexcept { return kernel_offset_; }
    [[nodiscard]] std::uint64_t kernel_size() const noexcept { return kernel_size_; }
    [[nodiscard]] const SparseConvolution<int>& trigger_kernel() const noexcept { return trigger_kernel_; }
    [[nodiscard]] int adc_threshold() const noexcept { return adc_threshold_; }
    [[nodiscard]] int trigger_norm() const noexcept { return trigger_norm_; }

    // ADC values at or below this keep every filtered value they enter below
    // the threshold: (sum of the taps of the sign that can pass) x value
    // stays under the least passing value; -1 when no value is that small.
    [[nodiscard]] int quiet_limit() const noexcept { return quiet_limit_; }

  private:
    double adc_step_;
    int waveform_samples_;
    int retrigger_offset_;
    int kernel_offset_;
    std::uint64_t kernel_size_;
    SparseConvolution<int> trigger_kernel_;
    int adc_threshold_;
    int trigger_norm_;
    int quiet_limit_ = -1;
    // The least s (sign-adjusted by trigger_norm) whose quotient exceeds the
    // threshold: trunc(s / |norm|) > thr holds exactly for s >= (thr + 1)|norm|
    // when thr >= 0, and for s > thr |norm| when thr < 0.
    std::int64_t min_passing_ = 0;
};

// The trigger decision: filtered entries fed one at a time in increasing
// index order, the first one included. TriggerSim::simulate_plain feeds it
// the whole filtered signal; TriggerStream feeds it entry by entry as it
// filters and gets the same triggers.
class VELMORA_EXPORT TriggerDecision {
  public:
    explicit TriggerDecision(const TriggerSettings& settings) : settings_(&settings) {}

    // Ready for the next call, as if just made.
    void restart() { *this = TriggerDecision(*settings_); }

    // True, with the window start time in seconds, when the entry triggers.
    bool feed(std::int64_t j, int s, double& trigger_time);

    // The same decision for a caller that keeps the runs itself: start with
    // the first filtered index of the call; then, for any entry that may
    // trigger, pass its position in its run of consecutive indices (0 for the
    // first index of a run). Entries left out must be ones whose value cannot
    // pass the threshold.
    void start(std::int64_t first);
    bool candidate(std::int64_t j, std::uint64_t run, int s, double& trigger_time);

    // Every index before this one is refused whatever its value and run: it
    // lies less than retrigger_offset after the last window start.
    [[nodiscard]] std::int64_t first_candidate() const noexcept { return first_candidate_; }

  private:
    // first_candidate_ from last_start_, held within the 64-bit range.
    void place_first_candidate();

    const TriggerSettings* settings_;
    bool started_ = false;
    std::int64_t prev_ = 0;
    std::uint64_t run_ = 0;
    detail::wide_index last_start_ = 0;
    std::int64_t first_candidate_ = std::numeric_limits<std::int64_t>::min();
};

// Inline: these run once per filtered entry.
inline bool TriggerDecision::feed(std::int64_t j, int s, double& trigger_time) {
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

inline bool TriggerDecision::candidate(std::int64_t j, std::uint64_t run, int s, double& trigger_time) {
    const TriggerSettings& t = *settings_;
    // The first kernel_size entries of a run are filtered from a partly
    // filled kernel.
    if (run < t.kernel_size()) {
        return false;
    }
    if (!t.passes_threshold(s)) {
        return false;
    }
    const detail::wide_index distance = detail::wide_index{j} - last_start_;
    if (distance < t.retrigger_offset()) {
        return false;
    }
    // A window never starts inside the previous one: it is pushed to the
    // previous window's end when the candidate comes too early.
    last_start_ = distance >= t.waveform_samples() ? detail::wide_index{j} : last_start_ + t.waveform_samples();
    place_first_candidate();
    trigger_time = static_cast<double>(last_start_) * t.adc_step();
    return true;
}

} // namespace velmora
