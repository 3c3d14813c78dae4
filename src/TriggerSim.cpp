#include "TriggerSim.h"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace velmora {

namespace {

// Window starts and their distances to a candidate, wider than the 64-bit
// sample index: a start may lie a window length (up to 2^31 samples) before
// the first or after the last signal index, and differences then never
// overflow, wherever on the grid the signal lies. For every index that the
// 64-bit arithmetic handles the results are the same.
__extension__ typedef __int128 wide_index;

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
      trigger_kernel_(adc_step, std::move(trigger_kernel)), adc_threshold_(adc_threshold),
      trigger_norm_(trigger_norm) {
    if (!(std::isfinite(adc_step_) && adc_step_ > 0.0)) {
        throw std::invalid_argument("TriggerSim: adc_step must be a finite number greater than zero.");
    }
    if (trigger_norm_ == 0) {
        throw std::invalid_argument("TriggerSim: trigger_norm must not be 0.");
    }
}

std::vector<double> TriggerSim::simulate(const SparseWaveform<unsigned short>& adc_waveform) const {
    // Stated as "not within 0.1 %", so that a step that is NaN fails too.
    if (!(std::abs(adc_waveform.time_step() - adc_step_) <= 0.001 * adc_step_)) {
        throw std::runtime_error("TriggerSim::simulate: waveform time step does not match adc_step");
    }

    const SparseWaveform<int> signal = trigger_kernel_.convolve(adc_waveform);
    std::vector<double> triggers;
    Detector detector(*this);
    double time = 0.0;
    for (const auto& [j, s] : signal.samples()) {
        if (detector.feed(j, s, time)) {
            triggers.push_back(time);
        }
    }
    return triggers;
}

bool TriggerSim::Detector::feed(std::int64_t j, int s, double& trigger_time) {
    const TriggerSim& t = *sim_;
    if (!started_) {
        // The first entry opens a run and is never a candidate; the first
        // window of a call starts at its own candidate index.
        started_ = true;
        prev_ = j;
        last_start_ = wide_index{j} + t.kernel_offset_ - t.waveform_samples_;
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
    // The first kernel_size entries of a run are filtered from a partly
    // filled kernel.
    if (run_ < t.kernel_size_) {
        return false;
    }
    // Truncating division in 64 bits: the 32-bit quotient everywhere but
    // INT_MIN / -1, which has no 32-bit value.
    if (!(std::int64_t{s} / t.trigger_norm_ > t.adc_threshold_)) {
        return false;
    }
    const wide_index distance = wide_index{j} - last_start_;
    if (distance < t.retrigger_offset_) {
        return false;
    }
    // A window never starts inside the previous one: it is pushed to the
    // previous window's end when the candidate comes too early.
    last_start_ = distance >= t.waveform_samples_ ? wide_index{j} : last_start_ + t.waveform_samples_;
    trigger_time = static_cast<double>(last_start_) * t.adc_step_;
    return true;
}

} // namespace velmora
