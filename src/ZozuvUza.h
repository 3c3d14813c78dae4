#pragma once

#include "Export.h"
#include "ModelConfig.h"
#include "ModelHandle.h"
#include "PMTResponse.h"
#include "SimulateContext.h"
#include "SparseWaveform.h"
#include "records/Triggers.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace velmora {

struct VELMORA_EXPORT ZozuvUzaState; // the model's state record, in ZozuvUza.cpp

// The readout windows that the early-window policy WARN dropped in the calls
// given this sink (SimulateContext::early_windows) instead of writing their
// warning lines: how many, and the start (seconds) of the first one.
struct EarlyWindows {
    std::size_t count = 0;
    double first_start = 0.0;
};

// The ZozuvUza readout chain of one PMT type: PE times -> PMT waveform ->
// shaped, sampled ADC waveform -> digital trigger -> one record per readout
// window. A handle over its state; every simulate call advances the model's
// one random generator.
class VELMORA_EXPORT ZozuvUza : public ModelHandle<ZozuvUzaState> {
  public:
    // What simulate does with a readout window that would start before time 0.
    enum class EarlyHandling : int {
        IGNORE = 0, // drop the record silently
        ZERO = 1,   // keep the record, time stamp set to zero
        WARN = 2,   // drop the record and write a warning line to stderr (or count it: SimulateContext)
        THROW = 3,  // end the call with std::runtime_error
    };

    // The names of the early-window policies, as the batch layer's
    // configurations spell them.
    static constexpr auto early_handling_names = std::to_array<std::pair<std::string_view, EarlyHandling>>({
        {"IGNORE", EarlyHandling::IGNORE},
        {"ZERO", EarlyHandling::ZERO},
        {"WARN", EarlyHandling::WARN},
        {"THROW", EarlyHandling::THROW},
    });

    // Every setting of the model, in the constructors' order; fields() lists
    // them by name.
    struct Config {
        SpectrumSource time_spectrum;
        SpectrumSource amplitude_spectrum;
        double pmt_time_step = 0.0;
        double adc_step = 0.0;
        SpectrumSource pulse_shape;
        int jitter = 0;
        double gain = 0.0;
        double offset = 0.0;
        double preamp_clip = 0.0;
        double noise = 0.0;
        double clip = 0.0;
        int waveform_samples = 0;
        int retrigger_offset = 0;
        std::vector<int> trigger_kernel;
        int adc_threshold = 0;
        int trigger_norm = 0;
        int trigger_offset = 0;
        int seed = 0;
        EarlyHandling early_handling = EarlyHandling::WARN;
    };
    static constexpr auto fields();

    // Checks the settings in the constructors' order and builds the model.
    explicit ZozuvUza(Config config);
    ZozuvUza(const std::filesystem::path& time_spectrum, const std::filesystem::path& amplitude_spectrum,
             double pmt_time_step, double adc_step, const std::filesystem::path& pulse_shape, int jitter, double gain,
             double offset, double preamp_clip, double noise, double clip, int waveform_samples, int retrigger_offset,
             std::vector<int> trigger_kernel, int adc_threshold, int trigger_norm, int trigger_offset, int seed,
             EarlyHandling early_handling);
    // The same model from spectra and pulse shape held in memory: the same
    // checks in the same order, with the same errors, as from files.
    ZozuvUza(SpectrumPoints time_spectrum, SpectrumPoints amplitude_spectrum, double pmt_time_step, double adc_step,
             SpectrumPoints pulse_shape, int jitter, double gain, double offset, double preamp_clip, double noise,
             double clip, int waveform_samples, int retrigger_offset, std::vector<int> trigger_kernel,
             int adc_threshold, int trigger_norm, int trigger_offset, int seed, EarlyHandling early_handling);
    ZozuvUza(const ZozuvUza& other);
    ZozuvUza& operator=(const ZozuvUza& other);
    ZozuvUza(ZozuvUza&& other) noexcept;
    ZozuvUza& operator=(ZozuvUza&& other) noexcept;
    ~ZozuvUza();

    // Reads a spectrum or pulse-shape file: white-space separated numbers
    // taken in (x, y) pairs, at least two pairs.
    static std::pair<std::vector<double>, std::vector<double>> read_spectrum(const std::filesystem::path& path);

    std::vector<ostrelin::ZozuvUzaTrigger> simulate(const std::vector<double>& pe_times, int channel);
    // The same with what `context` gives: its trace notes what the call did,
    // its baseline noise fills the window samples without an ADC entry (this
    // changes records), its early-window sink counts what WARN drops, and its
    // interrupt check is polled.
    std::vector<ostrelin::ZozuvUzaTrigger> simulate(const std::vector<double>& pe_times, int channel,
                                                    const SimulateContext& context);
    double calibrate_delay(std::size_t num_pes, std::size_t num_sim);

    // The ADC step in seconds: the readout windows start on its grid.
    [[nodiscard]] double adc_step() const;

  private:
    using Impl = ZozuvUzaState;
    static std::unique_ptr<Impl> build(Config config);
    // The time stamp (seconds, ticks) of a window starting at `start`, or
    // none when the early-window policy drops it (WARN prints its line, or
    // counts the window in `early` where given; THROW throws).
    static std::optional<std::pair<unsigned int, unsigned int>> window_stamp(const Impl& s, double start,
                                                                             EarlyWindows* early);
    // With `tail_fill`, samples missing at the end of the window read as the
    // baseline.
    static void finish_window(const Impl& s, std::pair<unsigned int, unsigned int> stamp,
                              std::vector<unsigned short> samples, int channel,
                              std::vector<ostrelin::ZozuvUzaTrigger>& records, bool tail_fill = true);
    // A kept window starting at `start` whose samples are `samples`
    // (`present`: which of them have an ADC entry) made into a record with
    // what `context` asks: the samples without an entry filled with its
    // baseline noise, and the window's first ADC index and clipped samples
    // noted in its trace.
    static void finish_in_context(const Impl& s, const SimulateContext& context, double start,
                                  std::pair<unsigned int, unsigned int> stamp, std::vector<unsigned short> samples,
                                  const std::vector<std::uint8_t>& present, int channel,
                                  std::vector<ostrelin::ZozuvUzaTrigger>& records);
    // The chain of one call in the model's kept storage, up to the records:
    // each complete window goes to `finish(start, samples)`, where samples()
    // copies its samples out. False, with nothing drawn after the PMT step,
    // where the ADC cannot stream; the PMT waveform is then in the storage.
    template <typename Finish>
    static bool stream_pes(Impl& s, const std::vector<double>& pe_times, const SimulateContext& context,
                           Finish&& finish);
    static std::vector<ostrelin::ZozuvUzaTrigger> simulate_windows(const Impl& s,
                                                                   const SparseWaveform<unsigned short>& adc,
                                                                   int channel, const SimulateContext& context);
};

// NOLINTBEGIN(readability-trailing-comma): a table of one entry per setting
constexpr auto ZozuvUza::fields() {
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
        Field{.name = "adc_step",
              .member = &C::adc_step,
              .kind = K::real,
              .unit = "s",
              .meaning = "time step of the ADC",
              .plausible = P::step},
        Field{.name = "pulse_shape",
              .member = &C::pulse_shape,
              .kind = K::spectrum,
              .unit = t::pulse_shape_unit,
              .meaning = "pulse shape of the electronics",
              .grid = "pmt_time_step"},
        Field{.name = "jitter",
              .member = &C::jitter,
              .kind = K::integer,
              .unit = "PMT time steps",
              .meaning = t::adc_jitter_meaning},
        Field{.name = "gain",
              .member = &C::gain,
              .kind = K::real,
              .unit = "LSB",
              .meaning = t::adc_gain_meaning,
              .override_column = 1},
        Field{.name = "offset",
              .member = &C::offset,
              .kind = K::real,
              .unit = "LSB",
              .meaning = "ADC offset",
              .override_column = 2},
        Field{.name = "preamp_clip",
              .member = &C::preamp_clip,
              .kind = K::real,
              .unit = "LSB",
              .meaning = "upper bound of ADC samples before noise",
              .override_column = 5},
        Field{.name = "noise",
              .member = &C::noise,
              .kind = K::real,
              .unit = "LSB",
              .meaning = "standard deviation of the Gaussian noise",
              .override_column = 3},
        Field{.name = "clip",
              .member = &C::clip,
              .kind = K::real,
              .unit = "LSB",
              .meaning = "upper bound of ADC samples after noise",
              .override_column = 6},
        // The longest readout window a batch run takes: far beyond any front
        // end's window, and a record of it already takes 128 KiB.
        Field{.name = "waveform_samples",
              .member = &C::waveform_samples,
              .kind = K::integer,
              .unit = "ADC samples",
              .meaning = "waveform samples per trigger",
              .minimum = 1,
              .maximum = 65536},
        Field{.name = "retrigger_offset",
              .member = &C::retrigger_offset,
              .kind = K::integer,
              .unit = "ADC samples",
              .meaning = "least number of samples between two triggers"},
        Field{.name = "trigger_kernel",
              .member = &C::trigger_kernel,
              .kind = K::integers,
              .meaning = "kernel the waveform is convolved with before the threshold"},
        Field{.name = "adc_threshold",
              .member = &C::adc_threshold,
              .kind = K::integer,
              .unit = "LSB",
              .meaning = "trigger threshold",
              .override_column = 4},
        Field{.name = "trigger_norm",
              .member = &C::trigger_norm,
              .kind = K::integer,
              .meaning = "divisor of the trigger signal before the threshold"},
        Field{.name = "trigger_offset",
              .member = &C::trigger_offset,
              .kind = K::integer,
              .unit = "ADC steps",
              .meaning = "offset of the waveform start relative to the trigger time"},
        Field{.name = "seed", .member = &C::seed, .kind = K::seed},
        Field{.name = "early_handling",
              .member = &C::early_handling,
              .kind = K::choice,
              .meaning = "what a trigger whose window starts before time 0 does",
              .choices = std::span<const std::pair<std::string_view, EarlyHandling>>(early_handling_names),
              .default_name = "WARN"},
    };
}
// NOLINTEND(readability-trailing-comma)

extern template class ModelHandle<ZozuvUzaState>;

} // namespace velmora
