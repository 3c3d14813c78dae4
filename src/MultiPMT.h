#pragma once

#include "Export.h"
#include "ModelConfig.h"
#include "ModelHandle.h"
#include "PMTResponse.h"
#include "SparseWaveform.h"
#include "records/Triggers.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

namespace velmora {

struct VELMORA_EXPORT MultiPMTState; // the model's state record, in MultiPMT.cpp

// One PMT of a multi-PMT module: a time-over-threshold discriminator with a
// TDC finds the hits; an ADC on the same PMT signal gives one sample per hit,
// read a fixed delay after the hit's start. A handle over its state; every
// simulate call advances the model's one random generator.
class VELMORA_EXPORT MultiPMT : public ModelHandle<MultiPMTState> {
  public:
    // Every setting of the model, in the constructors' order; fields() lists
    // them by name.
    struct Config {
        SpectrumSource time_spectrum;
        SpectrumSource amplitude_spectrum;
        double pmt_time_step = 0.0;
        double tot_step = 0.0;
        SpectrumSource tot_pulse_shape;
        double tot_threshold = 0.0;
        double tot_dead_time = 0.0;
        double tot_noise = 0.0;
        double tot_jitter = 0.0;
        double adc_step = 0.0;
        SpectrumSource adc_pulse_shape;
        int adc_jitter = 0;
        double adc_gain = 0.0;
        double adc_offset = 0.0;
        double adc_noise = 0.0;
        double adc_clip = 0.0;
        double sample_delay = 0.0;
        int seed = 0;
    };
    static constexpr auto fields();

    // Checks the settings in the constructors' order and builds the model.
    explicit MultiPMT(Config config);
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
    static std::unique_ptr<Impl> build(Config config);
    // simulate into `records` (cleared first), in the model's kept storage.
    static void simulate_into(Impl& s, const std::vector<double>& pe_times, int channel,
                              std::vector<ostrelin::MultiPMTTrigger>& records);
};

constexpr auto MultiPMT::fields() {
    using C = Config;
    using K = FieldKind;
    return std::tuple{
        Field{"time_spectrum", &C::time_spectrum, K::spectrum},
        Field{"amplitude_spectrum", &C::amplitude_spectrum, K::spectrum},
        Field{"pmt_time_step", &C::pmt_time_step, K::real},
        Field{"tot_step", &C::tot_step, K::real},
        Field{"tot_pulse_shape", &C::tot_pulse_shape, K::spectrum},
        Field{"tot_threshold", &C::tot_threshold, K::real},
        Field{"tot_dead_time", &C::tot_dead_time, K::real},
        Field{"tot_noise", &C::tot_noise, K::real},
        Field{"tot_jitter", &C::tot_jitter, K::real},
        Field{"adc_step", &C::adc_step, K::real},
        Field{"adc_pulse_shape", &C::adc_pulse_shape, K::spectrum},
        Field{"adc_jitter", &C::adc_jitter, K::integer},
        Field{"adc_gain", &C::adc_gain, K::real},
        Field{"adc_offset", &C::adc_offset, K::real},
        Field{"adc_noise", &C::adc_noise, K::real},
        Field{"adc_clip", &C::adc_clip, K::real},
        Field{"sample_delay", &C::sample_delay, K::real},
        Field{"seed", &C::seed, K::seed},
    };
}

extern template class ModelHandle<MultiPMTState>;

} // namespace velmora
