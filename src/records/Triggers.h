#pragma once

#include <vector>

// The records that the detector models return, one per trigger or hit.
// Plain aggregates: no constructors, no invariants, no comparison.
namespace ostrelin {

struct ZozuvUzaTrigger {
    int channel = 0;                      // channel number
    unsigned int trigger_time_s = 0;      // whole seconds since run start
    unsigned int trigger_time_ticks = 0;  // 4 ns ticks since the last whole second
    float baseline = 0.0F;                // baseline in LSB
    float intsum = 0.0F;                  // sum of (sample - offset) over the window, LSB
    std::vector<unsigned short> waveform; // ADC samples of the readout window, LSB

    static constexpr double SECONDS_PER_TICK = 4e-9;
};

struct MultiPMTTrigger {
    double time = 0.0;                // hit start time, seconds
    int channel = 0;                  // channel number
    double time_over_threshold = 0.0; // hit end minus start, seconds
    unsigned short adc_sample = 0;    // ADC sample read after the hit start, LSB
};

} // namespace ostrelin
