#pragma once

#include "Export.h"
#include "Interrupt.h"
#include "SparseWaveform.h"
#include "TriggerSettings.h"

#include <vector>

namespace velmora {

// The ZozuvUza digital trigger. Filters the ADC samples of one channel with an
// integer kernel, divides the result by trigger_norm (truncating) and compares
// it with adc_threshold; each trigger places a readout window of
// waveform_samples samples, never overlapping the previous one. Deterministic:
// it draws no random numbers.
class VELMORA_EXPORT TriggerSim : public TriggerSettings {
  public:
    // The settings and their checks are those of TriggerSettings.
    TriggerSim(double adc_step, int waveform_samples, int retrigger_offset, std::vector<int> trigger_kernel,
               int adc_threshold, int trigger_norm);

    // Trigger times in seconds (window start index times adc_step), in the
    // order found. A filtered entry is a candidate once it is at least
    // kernel_size entries into a run of consecutive stored indices; it
    // triggers when its scaled value exceeds the threshold and it lies at
    // least retrigger_offset samples after the last window start. Throws
    // std::runtime_error when the waveform's step differs from adc_step by
    // more than 0.1 %. Where the waveform lies on the trigger's own grid, the
    // entries stream through the filter, which forms only the values that
    // can pass the threshold; the triggers are those of simulate_plain.
    // Polls `interrupt` between entries.
    std::vector<double> simulate(const SparseWaveform<unsigned short>& adc_waveform,
                                 InterruptCheck interrupt = InterruptCheck::installed()) const;

    // The same, composed step by step: the whole filtered signal, then the
    // decision entry by entry. The reference for simulate.
    std::vector<double> simulate_plain(const SparseWaveform<unsigned short>& adc_waveform,
                                       InterruptCheck interrupt = InterruptCheck::installed()) const;
};

} // namespace velmora
