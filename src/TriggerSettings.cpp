#include "TriggerSettings.h"

#include "Checks.h"

#include <algorithm>
#include <utility>

namespace velmora {

namespace {

// -ceil(n / 2), formed as the unsigned negation of n halved and taken as a
// 32-bit signed value: 4 taps give -2, 5 give -3, 1 gives -1.
int half_kernel_offset(std::uint64_t n) {
    return static_cast<int>(static_cast<std::uint32_t>((std::uint64_t{0} - n) / 2));
}

} // namespace

TriggerSettings::TriggerSettings(double adc_step, int waveform_samples, int retrigger_offset,
                                 std::vector<int> trigger_kernel, int adc_threshold, int trigger_norm)
    : adc_step_(adc_step), waveform_samples_(waveform_samples), retrigger_offset_(retrigger_offset),
      kernel_offset_(half_kernel_offset(trigger_kernel.size())), kernel_size_(trigger_kernel.size()),
      trigger_kernel_(adc_step, std::move(trigger_kernel)), adc_threshold_(adc_threshold), trigger_norm_(trigger_norm) {
    checks::require_positive(adc_step_, "TriggerSim: adc_step");
    if (trigger_norm_ == 0) {
        checks::reject("TriggerSim: trigger_norm", "not be 0");
    }
    const std::int64_t norm = trigger_norm_ > 0 ? std::int64_t{trigger_norm_} : -std::int64_t{trigger_norm_};
    min_passing_ =
        adc_threshold_ >= 0 ? (std::int64_t{adc_threshold_} + 1) * norm : std::int64_t{adc_threshold_} * norm + 1;
    // Samples are never negative: with norm > 0 a filtered value is at most
    // the sum of the positive taps times the largest sample it reads, with
    // norm < 0 its negation at most the sum of the negative taps' magnitudes
    // times that sample.
    std::int64_t reach = 0;
    for (const int tap : trigger_kernel_.kernel()) {
        reach += trigger_norm_ > 0 ? std::max(tap, 0) : -std::int64_t{std::min(tap, 0)};
    }
    if (min_passing_ > 0) {
        quiet_limit_ = reach == 0 ? 65535 : static_cast<int>(std::min<std::int64_t>((min_passing_ - 1) / reach, 65535));
    }
}

void TriggerDecision::start(std::int64_t first) {
    // The first window of a call starts at its own candidate index.
    started_ = true;
    prev_ = first;
    last_start_ = detail::wide_index{first} + settings_->kernel_offset() - settings_->waveform_samples();
    place_first_candidate();
}

void TriggerDecision::place_first_candidate() {
    const detail::wide_index first = last_start_ + settings_->retrigger_offset();
    const detail::wide_index lowest = std::numeric_limits<std::int64_t>::min();
    const detail::wide_index highest = std::numeric_limits<std::int64_t>::max();
    first_candidate_ = static_cast<std::int64_t>(std::clamp(first, lowest, highest));
}

} // namespace velmora
