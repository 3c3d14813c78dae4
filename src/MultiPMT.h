#pragma once

#include "Export.h"
#include "ModelHandle.h"
#include "PMTResponse.h"
#include "SparseWaveform.h"
#include "records/Triggers.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

namespace velmora {

struct VELMORA_EXPORT MultiPMTState; // the model's state record, in MultiPMT.cpp

// One PMT of a multi-PMT module: a time-over-threshold discriminator with a
// TDC finds the hits; an ADC on the same PMT signal gives one sample per hit,
// read a fixed delay after the hit's start. A handle over its state; every
// simulate call advances the model's one random generator.
class VELMORA_EXPORT MultiPMT : public ModelHandle<MultiPMTState> {
  public:
    MultiPMT(const std::filesystem::path& time_spectrum, const std::filesystem::path& amplitude_spectrum,
             double pmt_time_step, double tot_step, const std::filesystem::path& tot_pulse_shape, double tot_threshold,
             double tot_dead_time, double tot_noise, double tot_jitter, double adc_step,
             const std::filesystem::path& adc_pulse_shape, int adc_jitter, double adc_gain, double adc_offset,
             double adc_noise, double adc_clip, double sample_delay, int seed);
    // The same model from spectra and pulse shapes held in memory: the same
    // checks in the same order, with the same errors, as from files.
    MultiPMT(SpectrumPoints time_spectrum, SpectrumPoints amplitude_spectrum, double pmt_time_step, double tot_step,
             SpectrumPoints tot_pulse_shape, double tot_threshold, double tot_dead_time, double tot_noise,
             double tot_jitter, double adc_step, SpectrumPoints adc_pulse_shape, int adc_jitter, double adc_gain,
             double adc_offset, double adc_noise, double adc_clip, double sample_delay, int seed);
    MultiPMT(const MultiPMT& other);
    MultiPMT& operator=(const MultiPMT& other);
    MultiPMT(MultiPMT&& other) noexcept;
    MultiPMT& operator=(MultiPMT&& other) noexcept;
    ~MultiPMT();

    std::vector<ostrelin::MultiPMTTrigger> simulate(const std::vector<double>& pe_times, int channel);
    double calibrate_delay(std::size_t num_pes, std::size_t num_sim);

  private:
    using Impl = MultiPMTState;
    static std::unique_ptr<Impl> build(const SpectrumSource& time_spectrum, const SpectrumSource& amplitude_spectrum,
                                       double pmt_time_step, double tot_step, const SpectrumSource& tot_pulse_shape,
                                       double tot_threshold, double tot_dead_time, double tot_noise, double tot_jitter,
                                       double adc_step, const SpectrumSource& adc_pulse_shape, int adc_jitter,
                                       double adc_gain, double adc_offset, double adc_noise, double adc_clip,
                                       double sample_delay, int seed);
    // simulate into `records` (cleared first), in the model's kept storage.
    static void simulate_into(Impl& s, const std::vector<double>& pe_times, int channel,
                              std::vector<ostrelin::MultiPMTTrigger>& records);
};

extern template class ModelHandle<MultiPMTState>;

} // namespace velmora
