#include "TriggerSim.h"

#include "Interrupt.h"
#include "TriggerStream.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace velmora {

namespace {

// -ceil(n / 2), formed as the unsigned negation of n halved and taken as a
// 32-bit signed value: 4 taps give -2, 5 give -3, 1 gives -1.
int half_kernel_offset(std::uint64_t n) {
    return static_cast<int>(static_cast<std::uint32_t>((std::uint64_t{0} - n) / 2));
}

} // namespace

TriggerSim::TriggerSim(double adc_step, int waveform_samples, int retrigger_offset, std::vector<int> trigger_kernel,
                       int adc_threshold, int trigger_norm)
    : adc_step_(adc_step), waveform_samples_(waveform_samples), retrigger_offset_(retrigger_offset),
      kernel_offset_(half_kernel_offset(trigger_kernel.size())), kernel_size_(trigger_kernel.size()),
      trigger_kernel_(adc_step, std::move(trigger_kernel)), adc_threshold_(adc_threshold), trigger_norm_(trigger_norm) {
    if (!(std::isfinite(adc_step_) && adc_step_ > 0.0)) {
        throw std::invalid_argument("TriggerSim: adc_step must be a finite number greater than zero.");
    }
    if (trigger_norm_ == 0) {
        throw std::invalid_argument("TriggerSim: trigger_norm must not be 0.");
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

std::vector<double> TriggerSim::simulate(const SparseWaveform<unsigned short>& adc_waveform) const {
    // Stated as "not within 0.1 %", so that a step that is NaN fails too.
    if (!(std::abs(adc_waveform.time_step() - adc_step_) <= 0.001 * adc_step_)) {
        throw std::runtime_error("TriggerSim::simulate: waveform time step does not match adc_step");
    }

    const SparseWaveform<int> signal = trigger_kernel_.convolve(adc_waveform);
    std::vector<double> triggers;
    TriggerDecision decision(*this);
    double time = 0.0;
    std::size_t seen = 0;
    for (const auto& [j, s] : signal.samples()) {
        poll_interrupt_every(seen++);
        if (decision.feed(j, s, time)) {
            triggers.push_back(time);
        }
    }
    return triggers;
}

} // namespace velmora
