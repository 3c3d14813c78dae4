#include "TriggerSim.h"

#include "TriggerStream.h"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace velmora {

namespace {

// Stated as "not within 0.1 %", so that a step that is NaN fails too.
void check_waveform_step(const SparseWaveform<unsigned short>& adc_waveform, double adc_step) {
    if (!(std::abs(adc_waveform.time_step() - adc_step) <= 0.001 * adc_step)) {
        throw std::runtime_error("TriggerSim::simulate: waveform time step does not match adc_step");
    }
}

} // namespace

TriggerSim::TriggerSim(double adc_step, int waveform_samples, int retrigger_offset, std::vector<int> trigger_kernel,
                       int adc_threshold, int trigger_norm)
    : TriggerSettings(adc_step, waveform_samples, retrigger_offset, std::move(trigger_kernel), adc_threshold,
                      trigger_norm) {}

std::vector<double> TriggerSim::simulate(const SparseWaveform<unsigned short>& adc_waveform,
                                         InterruptCheck interrupt) const {
    check_waveform_step(adc_waveform, adc_step());
    // The stream reads tap i of the entry at index k at k + i: the kernel
    // must lie on the waveform's own grid.
    if (!(adc_waveform.time_step() == adc_step()) || !trigger_kernel().streams_exactly(adc_waveform)) {
        return simulate_plain(adc_waveform, interrupt);
    }
    std::vector<double> triggers;
    TriggerStream stream(*this);
    const auto on_trigger = [&](double time) { triggers.push_back(time); };
    std::size_t seen = 0;
    for (const auto& [k, value] : adc_waveform.samples()) {
        interrupt.poll_every(seen++);
        stream.push(k, value, on_trigger);
    }
    stream.finish(on_trigger);
    return triggers;
}

std::vector<double> TriggerSim::simulate_plain(const SparseWaveform<unsigned short>& adc_waveform,
                                               InterruptCheck interrupt) const {
    check_waveform_step(adc_waveform, adc_step());
    const SparseWaveform<int> signal = trigger_kernel().convolve(adc_waveform, interrupt);
    std::vector<double> triggers;
    TriggerDecision decision(*this);
    double time = 0.0;
    std::size_t seen = 0;
    for (const auto& [j, s] : signal.samples()) {
        interrupt.poll_every(seen++);
        if (decision.feed(j, s, time)) {
            triggers.push_back(time);
        }
    }
    return triggers;
}

} // namespace velmora
