#pragma once

#include "Export.h"
#include "SparseConvolution.h"
#include "SparseWaveform.h"

#include <cstdint>
#include <vector>

namespace velmora {

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
    friend class TriggerFilter;

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

} // namespace velmora
