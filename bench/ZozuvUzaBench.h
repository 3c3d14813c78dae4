#pragma once

// The ZozuvUza detector in the native benchmark: its model, the plain composition of its stages (PE step,
// plain ADC stage, trigger, record step) and its draw floor.

#include "Common.h"
#include "DetectorBench.h"
#include "TriggerSim.h"
#include "ZozuvUza.h"
#include "records/Triggers.h"

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace velmora::bench {

class ZozuvUzaBench : public DetectorBench {
  public:
    using Model = ZozuvUza;
    using Record = ostrelin::ZozuvUzaTrigger;

    explicit ZozuvUzaBench(const std::filesystem::path& dir);

    static const char* name() { return "ZozuvUza"; }

    [[nodiscard]] Model make_model() const;

    std::vector<Record> plain(const std::vector<double>& pe_times, int channel, std::mt19937& rng, Draws* draws,
                              AdcPath path = AdcPath::plain);

    // Peak bytes of the plain composition of one call: the full shaped waveform on the PMT grid.
    [[nodiscard]] double plain_peak_bytes(const SparseWaveform<double>& pmt) const;

    void floor(const Draws& d, std::mt19937& rng, double& sink) {
        floor_pes(d, rng, sink);
        floor_adc(d, rng, sink);
    }
    void floor(const Draws& d, MersenneTwister& rng, double& sink) const {
        floor_pes(d, rng, sink);
        floor_adc(d, rng, sink);
    }

    // Each floor call draws exactly what the composition's call drew, in the same order.
    static constexpr bool floor_keeps_draw_order = true;

    static double delay(const Record& r) {
        return static_cast<double>(r.trigger_time_ticks) * ostrelin::ZozuvUzaTrigger::SECONDS_PER_TICK;
    }

    static bool same(const Record& a, const Record& b) {
        return a.channel == b.channel && a.trigger_time_s == b.trigger_time_s &&
               a.trigger_time_ticks == b.trigger_time_ticks && same_bits(a.baseline, b.baseline) &&
               same_bits(a.intsum, b.intsum) && a.waveform == b.waveform;
    }

  private:
    static ZozuvUza::EarlyHandling policy(const std::string& name);

    // One record per trigger window: the window's samples, the baseline fill of missing trailing samples,
    // the early-window policy, the time stamp in seconds and 4 ns ticks, and the integral.
    [[nodiscard]] std::vector<Record> records(const SparseWaveform<unsigned short>& adc,
                                              const std::vector<double>& trigger_times, int channel) const;

    TriggerSim trigger_;
    int waveform_samples_;
    int trigger_offset_;
    double offset_;
    ZozuvUza::EarlyHandling early_handling_;
};

} // namespace velmora::bench
