#pragma once

// The MultiPMT detector in the native benchmark: its model, the plain composition of its stages (PE step,
// plain ToT stage, plain ADC stage, one ADC sample per hit) and its draw floor.

#include "Common.h"
#include "DetectorBench.h"
#include "MultiPMT.h"
#include "ToTSim.h"
#include "records/Triggers.h"

#include <filesystem>
#include <random>
#include <vector>

namespace velmora::bench {

class MultiPMTBench : public DetectorBench {
  public:
    using Model = MultiPMT;
    using Record = ostrelin::MultiPMTTrigger;

    explicit MultiPMTBench(const std::filesystem::path& dir);

    static const char* name() { return "MultiPMT"; }

    [[nodiscard]] Model make_model() const;

    std::vector<Record> plain(const std::vector<double>& pe_times, int channel, std::mt19937& rng, Draws* draws,
                              AdcPath path = AdcPath::plain);

    // Peak bytes of the plain composition of one call: the larger of the two full shaped waveforms, which
    // never live at the same time.
    [[nodiscard]] double plain_peak_bytes(const SparseWaveform<double>& pmt) const;

    void floor(const Draws& d, std::mt19937& rng, double& sink);
    void floor(const Draws& d, MersenneTwister& rng, double& sink) const;

    // The ToT stage draws each hit's two jitter values right after the noise value of the entry that
    // closes it; the floor draws all noise values first. Same draws, generator consumed differently.
    static constexpr bool floor_keeps_draw_order = false;

    static double delay(const Record& r) { return r.time; }

    static bool same(const Record& a, const Record& b) {
        return same_bits(a.time, b.time) && a.channel == b.channel &&
               same_bits(a.time_over_threshold, b.time_over_threshold) && a.adc_sample == b.adc_sample;
    }

  private:
    ToTSim tot_;
    double sample_delay_;
};

} // namespace velmora::bench
