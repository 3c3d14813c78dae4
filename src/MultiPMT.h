#pragma once

#include "Export.h"
#include "ModelConfig.h"
#include "ModelHandle.h"
#include "PMTResponse.h"
#include "SimulateContext.h"
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
struct CallTrace;                    // what a call did beyond its records, in CallTrace.h

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
    explicit MultiPMT(const Config& config);
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
    // The same, noting in context.trace (where given) what the call did and
    // polling context.interrupt; the records are the same with any context.
    std::vector<ostrelin::MultiPMTTrigger> simulate(const std::vector<double>& pe_times, int channel,
                                                    const SimulateContext& context);
    double calibrate_delay(std::size_t num_pes, std::size_t num_sim);

    // The step of the TDC grid on which hit times lie, seconds.
    [[nodiscard]] double tot_step() const;

  private:
    using Impl = MultiPMTState;
    static std::unique_ptr<Impl> build(const Config& config);
    // simulate into `records` (cleared first), in the model's kept storage.
    static void simulate_into(Impl& s, const std::vector<double>& pe_times, int channel,
                              std::vector<ostrelin::MultiPMTTrigger>& records, const SimulateContext& context);
    // Notes in `trace`, per record, the ADC index its sample is read at and
    // whether a clip cut that sample.
    static void trace_records(const Impl& s, CallTrace& trace, const std::vector<ostrelin::MultiPMTTrigger>& records);
};

// NOLINTBEGIN(readability-trailing-comma): a table of one entry per setting
constexpr auto MultiPMT::fields() {
    using C = Config;
    using K = FieldKind;
    using P = Plausible;
    namespace t = field_text;
    return std::tuple{
        Field{.name = "time_spectrum",
              .member = &C::time_spectrum,
              .kind = K::spectrum,
              .unit = t::time_spectrum_unit,
              .meaning = "time spectrum of the PMT",
              .plausible = P::time},
        Field{.name = "amplitude_spectrum",
              .member = &C::amplitude_spectrum,
              .kind = K::spectrum,
              .unit = t::amplitude_spectrum_unit,
              .meaning = "amplitude spectrum of the PMT"},
        Field{.name = "pmt_time_step",
              .member = &C::pmt_time_step,
              .kind = K::real,
              .unit = "s",
              .meaning = "time step of the PMT waveform",
              .plausible = P::step},
        Field{.name = "tot_step",
              .member = &C::tot_step,
              .kind = K::real,
              .unit = "s",
              .meaning = "time step of the ToT TDC",
              .plausible = P::step},
        Field{.name = "tot_pulse_shape",
              .member = &C::tot_pulse_shape,
              .kind = K::spectrum,
              .unit = t::pulse_shape_unit,
              .meaning = "pulse shape of the ToT electronics",
              .grid = "tot_step"},
        Field{.name = "tot_threshold",
              .member = &C::tot_threshold,
              .kind = K::real,
              .unit = "normalised amplitude",
              .meaning = "threshold of the ToT measurement",
              .override_column = 5},
        Field{.name = "tot_dead_time",
              .member = &C::tot_dead_time,
              .kind = K::real,
              .unit = "s",
              .meaning = "dead time of the ToT measurement",
              .plausible = P::time},
        Field{.name = "tot_noise",
              .member = &C::tot_noise,
              .kind = K::real,
              .unit = "normalised amplitude",
              .meaning = "standard deviation of the ToT noise",
              .override_column = 6},
        Field{.name = "tot_jitter",
              .member = &C::tot_jitter,
              .kind = K::real,
              .unit = "s",
              .meaning = "standard deviation of the ToT time measurement",
              .plausible = P::time,
              .late = true},
        Field{.name = "adc_step",
              .member = &C::adc_step,
              .kind = K::real,
              .unit = "s",
              .meaning = "time step of the ADC",
              .plausible = P::step},
        Field{.name = "adc_pulse_shape",
              .member = &C::adc_pulse_shape,
              .kind = K::spectrum,
              .unit = t::pulse_shape_unit,
              .meaning = "pulse shape of the ADC electronics",
              .grid = "pmt_time_step"},
        Field{.name = "adc_jitter",
              .member = &C::adc_jitter,
              .kind = K::integer,
              .unit = "PMT time steps",
              .meaning = t::adc_jitter_meaning},
        Field{.name = "adc_gain",
              .member = &C::adc_gain,
              .kind = K::real,
              .unit = "LSB",
              .meaning = t::adc_gain_meaning,
              .override_column = 1},
        Field{.name = "adc_offset",
              .member = &C::adc_offset,
              .kind = K::real,
              .unit = "LSB",
              .meaning = "ADC offset",
              .override_column = 2},
        Field{.name = "adc_noise",
              .member = &C::adc_noise,
              .kind = K::real,
              .unit = "LSB",
              .meaning = "standard deviation of the ADC's Gaussian noise",
              .override_column = 3},
        Field{.name = "adc_clip",
              .member = &C::adc_clip,
              .kind = K::real,
              .unit = "LSB",
              .meaning = "upper bound of ADC samples after noise",
              .override_column = 4},
        Field{.name = "sample_delay",
              .member = &C::sample_delay,
              .kind = K::real,
              .unit = "s",
              .meaning = "delay of the ADC readout after the ToT start",
              .plausible = P::time,
              .late = true},
        Field{.name = "seed", .member = &C::seed, .kind = K::seed},
    };
}
// NOLINTEND(readability-trailing-comma)

extern template class ModelHandle<MultiPMTState>;

} // namespace velmora
