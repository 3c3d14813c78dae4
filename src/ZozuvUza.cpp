#include "ZozuvUza.h"

#include "ADCSim.h"
#include "ADCStream.h"
#include "BaselineNoise.h"
#include "CallTrace.h"
#include "Checks.h"
#include "ModelHandleMembers.h"
#include "PMTResponse.h"
#include "ReadoutWindows.h"
#include "TriggerSim.h"
#include "TriggerStream.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <exception>
#include <iostream>
#include <limits>
#include <locale>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

namespace velmora {

struct VELMORA_EXPORT ZozuvUzaState {
    static constexpr const char* model_name = "ZozuvUza";

    draw::PiecewiseLinear time_distribution;
    draw::PiecewiseLinear amplitude_distribution;
    double pmt_time_step;
    ADCSim adc_sim;
    TriggerSim trigger_sim;
    MersenneTwister rng;
    int waveform_samples;
    int trigger_offset;
    double offset;
    ZozuvUza::EarlyHandling early_handling;
    TimeRange time_offsets; // first and last boundary of time_distribution, for the PE time check

    // Storage that simulate works in, kept from call to call: a call then
    // allocates little beyond its records, and calibrate_delay nothing once
    // warm. The streams refer to the stages of their own model.
    struct Workspace {
        std::optional<SparseWaveform<double>> pmt;
        ADCStream::Scratch adc;
        std::vector<ADCStream::Entry> block;
        std::optional<TriggerStream> triggers;
        std::optional<ReadoutWindows> windows;
        double records_per_pe = 0.0; // of the latest call: see first_reserve
    };
    KeptStorage<Workspace> work;
};

namespace {

ZozuvUza::EarlyHandling checked_policy(ZozuvUza::EarlyHandling policy) {
    switch (policy) {
    case ZozuvUza::EarlyHandling::IGNORE:
    case ZozuvUza::EarlyHandling::ZERO:
    case ZozuvUza::EarlyHandling::WARN:
    case ZozuvUza::EarlyHandling::THROW:
        return policy;
    }
    checks::reject("ZozuvUza: early_handling", "be IGNORE, ZERO, WARN or THROW");
}

// Records keep the offset as a float baseline and sum (sample - offset) over
// a window in single precision; both must stay finite.
void check_record_offset(double offset, int waveform_samples) {
    const double terms = std::max(waveform_samples, 1);
    const double largest = (static_cast<double>(std::numeric_limits<float>::max()) / terms) - 65535.0;
    if (!(std::abs(offset) <= largest)) {
        std::ostringstream rule;
        rule.imbue(std::locale::classic());
        rule << "lie within +-" << largest
             << " LSB, so that the record's single-precision baseline and integral stay finite";
        checks::reject("ZozuvUza: offset", rule.str());
    }
}

// The value that stands in for missing samples at the end of a window: the
// baseline as a whole number of LSB, held within the 16-bit sample range.
unsigned short tail_fill_value(double offset) {
    const double whole = std::trunc(offset);
    return static_cast<unsigned short>(whole > 65535.0 ? 65535.0 : whole);
}

} // namespace

ZozuvUza::ZozuvUza(Config config) : ModelHandle(build(std::move(config))) {}

ZozuvUza::ZozuvUza(const std::filesystem::path& time_spectrum, const std::filesystem::path& amplitude_spectrum,
                   double pmt_time_step, double adc_step, const std::filesystem::path& pulse_shape, int jitter,
                   double gain, double offset, double preamp_clip, double noise, double clip, int waveform_samples,
                   int retrigger_offset, std::vector<int> trigger_kernel, int adc_threshold, int trigger_norm,
                   int trigger_offset, int seed, EarlyHandling early_handling)
    : ZozuvUza(Config{
          .time_spectrum = time_spectrum,
          .amplitude_spectrum = amplitude_spectrum,
          .pmt_time_step = pmt_time_step,
          .adc_step = adc_step,
          .pulse_shape = pulse_shape,
          .jitter = jitter,
          .gain = gain,
          .offset = offset,
          .preamp_clip = preamp_clip,
          .noise = noise,
          .clip = clip,
          .waveform_samples = waveform_samples,
          .retrigger_offset = retrigger_offset,
          .trigger_kernel = std::move(trigger_kernel),
          .adc_threshold = adc_threshold,
          .trigger_norm = trigger_norm,
          .trigger_offset = trigger_offset,
          .seed = seed,
          .early_handling = early_handling,
      }) {}

ZozuvUza::ZozuvUza(SpectrumPoints time_spectrum, SpectrumPoints amplitude_spectrum, double pmt_time_step,
                   double adc_step, SpectrumPoints pulse_shape, int jitter, double gain, double offset,
                   double preamp_clip, double noise, double clip, int waveform_samples, int retrigger_offset,
                   std::vector<int> trigger_kernel, int adc_threshold, int trigger_norm, int trigger_offset, int seed,
                   EarlyHandling early_handling)
    : ZozuvUza(Config{
          .time_spectrum = std::move(time_spectrum),
          .amplitude_spectrum = std::move(amplitude_spectrum),
          .pmt_time_step = pmt_time_step,
          .adc_step = adc_step,
          .pulse_shape = std::move(pulse_shape),
          .jitter = jitter,
          .gain = gain,
          .offset = offset,
          .preamp_clip = preamp_clip,
          .noise = noise,
          .clip = clip,
          .waveform_samples = waveform_samples,
          .retrigger_offset = retrigger_offset,
          .trigger_kernel = std::move(trigger_kernel),
          .adc_threshold = adc_threshold,
          .trigger_norm = trigger_norm,
          .trigger_offset = trigger_offset,
          .seed = seed,
          .early_handling = early_handling,
      }) {}

std::unique_ptr<ZozuvUza::Impl> ZozuvUza::build(Config c) {
    auto time_distribution = load_spectrum(c.time_spectrum);
    auto amplitude_distribution = load_spectrum(c.amplitude_spectrum);
    checks::require_grid_step(c.pmt_time_step, "ZozuvUza: pmt_time_step");
    auto kernel = load_pulse_shape(c.pulse_shape, c.pmt_time_step, "Pulse shape time step does not match PMT step.");
    ADCSim adc_sim(c.adc_step, std::move(kernel), c.jitter, c.gain, c.offset, c.preamp_clip, c.noise, c.clip);
    TriggerSim trigger_sim(c.adc_step, c.waveform_samples, c.retrigger_offset, std::move(c.trigger_kernel),
                           c.adc_threshold, c.trigger_norm);
    if (c.waveform_samples < 0) {
        checks::reject("ZozuvUza: waveform_samples", "not be negative");
    }
    check_record_offset(c.offset, c.waveform_samples);
    auto impl = std::make_unique<Impl>(Impl{
        std::move(time_distribution), std::move(amplitude_distribution), c.pmt_time_step, std::move(adc_sim),
        std::move(trigger_sim), MersenneTwister(static_cast<MersenneTwister::result_type>(c.seed)), c.waveform_samples,
        c.trigger_offset, c.offset, checked_policy(c.early_handling), TimeRange{}, KeptStorage<Impl::Workspace>{}});
    impl->time_offsets = time_range(impl->time_distribution);
    return impl;
}

// The handle copies and moves the state record.
ZozuvUza::ZozuvUza(const ZozuvUza& other) = default;
ZozuvUza& ZozuvUza::operator=(const ZozuvUza& other) = default;
ZozuvUza::ZozuvUza(ZozuvUza&& other) noexcept = default;
ZozuvUza& ZozuvUza::operator=(ZozuvUza&& other) noexcept = default;
ZozuvUza::~ZozuvUza() = default;

std::pair<std::vector<double>, std::vector<double>> ZozuvUza::read_spectrum(const std::filesystem::path& path) {
    return read_spectrum_file(path);
}

namespace {

using Records = std::vector<ostrelin::ZozuvUzaTrigger>;

} // namespace

std::optional<std::pair<unsigned int, unsigned int>> ZozuvUza::window_stamp(const Impl& s, double start,
                                                                            EarlyWindows* early) {
    if (start < 0.0) {
        switch (s.early_handling) {
        case EarlyHandling::IGNORE:
            return std::nullopt;
        case EarlyHandling::WARN: {
            if (early != nullptr) {
                if (early->count == 0) {
                    early->first_start = start;
                }
                ++early->count;
                return std::nullopt;
            }
            std::ostringstream line;
            line.imbue(std::locale::classic());
            line << "[Warning] Ignoring early trigger at " << start << " s.";
            std::cerr << line.str() << std::endl;
            return std::nullopt;
        }
        case EarlyHandling::THROW:
            throw std::runtime_error("Early trigger at " + std::to_string(start) + "s.");
        case EarlyHandling::ZERO:
            break;
        }
        return std::pair{0U, 0U};
    }
    // The seconds counter is 32 bits wide: a window after 2^32 s has no time stamp.
    if (!(start < 4294967296.0)) {
        throw std::overflow_error("ZozuvUza: window start " + std::to_string(start) +
                                  " s does not fit the 32-bit seconds counter.");
    }
    const auto seconds = static_cast<unsigned int>(start);
    const auto ticks =
        static_cast<unsigned int>((start - static_cast<double>(seconds)) / ostrelin::ZozuvUzaTrigger::SECONDS_PER_TICK);
    return std::pair{seconds, ticks};
}

// Turns the samples of one window that the policy keeps into a record,
// appended to `records`.
void ZozuvUza::finish_window(const Impl& s, std::pair<unsigned int, unsigned int> stamp,
                             std::vector<unsigned short> samples, int channel,
                             std::vector<ostrelin::ZozuvUzaTrigger>& records, bool tail_fill) {
    // Samples missing at the end of the window read as the baseline.
    if (tail_fill && s.offset > 0.0 && !samples.empty() && samples.back() == 0) {
        const unsigned short fill = tail_fill_value(s.offset);
        for (std::size_t i = samples.size(); i-- > 0 && samples[i] == 0;) {
            samples[i] = fill;
        }
    }

    // The integral is formed later, by integrate, several records at a time.
    records.push_back({channel, stamp.first, stamp.second, static_cast<float>(s.offset), 0.0F, std::move(samples)});
}

namespace {

// Fills the samples of a window that have no ADC entry (present[j] == 0) with
// what the ADC gives for a shaped value of 0: the offset, the clips, the
// noise and the rounding of its own conversion, the standard variates drawn
// from `noise`. Returns how many of the filled samples a clip cut.
std::size_t fill_baseline(const ADCSim& adc, BaselineNoise& noise, std::vector<unsigned short>& samples,
                          const std::vector<std::uint8_t>& present) {
    std::size_t clipped = 0;
    for (std::size_t j = 0; j < samples.size(); ++j) {
        if (present[j] == 0) {
            const double gaussian = noise.gauss(*noise.rng);
            samples[j] = adc.count(0.0, gaussian);
            clipped += adc.clipped(0.0, gaussian) ? 1 : 0;
        }
    }
    return clipped;
}

} // namespace

void ZozuvUza::finish_in_context(const Impl& s, const SimulateContext& context, double start,
                                 std::pair<unsigned int, unsigned int> stamp, std::vector<unsigned short> samples,
                                 const std::vector<std::uint8_t>& present, int channel, Records& records) {
    const std::size_t filled_clipped =
        context.baseline != nullptr ? fill_baseline(s.adc_sim, *context.baseline, samples, present) : 0;
    if (CallTrace* trace = context.trace; trace != nullptr) {
        // The window's first index, as the windows place it (ReadoutWindows,
        // and simulate_windows alike), and its samples that a clip cut.
        const std::int64_t first = time_to_index(start, s.trigger_sim.adc_step());
        const auto& clipped = trace->adc_clipped;
        const auto from = std::ranges::lower_bound(clipped, first);
        const auto to = std::lower_bound(from, clipped.end(), first + static_cast<std::int64_t>(samples.size()));
        const std::size_t n_clipped = static_cast<std::size_t>(to - from) + filled_clipped;
        trace->record_points.push_back(first);
        trace->record_clipped.push_back(static_cast<std::uint16_t>(std::min<std::size_t>(n_clipped, 65535)));
    }
    // A filled window has no missing tail left to read as the baseline.
    finish_window(s, stamp, std::move(samples), channel, records, context.baseline == nullptr);
}

namespace {

// Which of `length` samples from index `first` on have an entry in `adc`.
void present_from(const SparseWaveform<unsigned short>& adc, std::int64_t first, std::size_t length,
                  std::vector<std::uint8_t>& present) {
    present.assign(length, 0);
    const auto& entries = adc.samples();
    auto it = std::ranges::lower_bound(entries, first, {}, [](const auto& e) { return e.first; });
    for (; it != entries.end() && std::cmp_less(it->first - first, length); ++it) {
        present[static_cast<std::size_t>(it->first - first)] = 1;
    }
}

// The records a call reserves before its first window: as many as its PEs
// gave at the rate of the latest call, at most reserve_cap. Calls of a
// detector are alike, so a call of a few hundred records mostly allocates
// its vector once instead of doubling it eight times; a larger call grows
// from the cap by doubling, so a wrong rate costs at most the cap's memory.
constexpr std::size_t reserve_cap = 65536;

std::size_t first_reserve(double records_per_pe, std::size_t pes) {
    const double expected = records_per_pe * static_cast<double>(pes);
    return expected < static_cast<double>(reserve_cap) ? static_cast<std::size_t>(expected) : reserve_cap;
}

// Records whose integral is formed side by side: the single-precision sums
// are chains of dependent additions, and eight chains overlap where one
// would wait on each addition in turn.
constexpr std::size_t integral_lanes = 8;

// Sets intsum of records [first, end): (sample - baseline) summed over the
// window in single precision, in sample order. The windows of a call have
// the same length, so the sums of a group of records advance sample by
// sample together, each in its own order.
void integrate(std::vector<ostrelin::ZozuvUzaTrigger>& records, std::size_t first) {
    std::size_t r = first;
    for (; r + integral_lanes <= records.size(); r += integral_lanes) {
        const std::size_t length = records[r].waveform.size();
        if (!std::all_of(records.begin() + static_cast<std::ptrdiff_t>(r),
                         records.begin() + static_cast<std::ptrdiff_t>(r + integral_lanes),
                         [&](const auto& record) { return record.waveform.size() == length; })) {
            break; // windows of unequal length: one record at a time
        }
        std::array<const unsigned short*, integral_lanes> samples{};
        std::array<float, integral_lanes> baseline{};
        std::array<float, integral_lanes> sum{};
        for (std::size_t q = 0; q < integral_lanes; ++q) {
            samples[q] = records[r + q].waveform.data();
            baseline[q] = records[r + q].baseline;
        }
        for (std::size_t j = 0; j < length; ++j) {
            for (std::size_t q = 0; q < integral_lanes; ++q) {
                const float term = static_cast<float>(samples[q][j]) - baseline[q];
                sum[q] = sum[q] + term;
            }
        }
        for (std::size_t q = 0; q < integral_lanes; ++q) {
            records[r + q].intsum = sum[q];
        }
    }
    for (; r < records.size(); ++r) {
        float sum = 0.0F;
        for (const unsigned short sample : records[r].waveform) {
            const float term = static_cast<float>(sample) - records[r].baseline;
            sum = sum + term;
        }
        records[r].intsum = sum;
    }
}

} // namespace

namespace {

// The chain after the ADC, one block of ADC entries at a time: each entry is
// filtered for the trigger, a trigger opens a window, and at the end of the
// block the windows that it completes go to `finish(start, samples)`. The
// same windows, in the same order, as the trigger stage on the whole ADC
// waveform followed by get_samples per trigger. A failure while placing or
// finishing windows is raised after the last ADC draw, so that the generator
// ends where the stage-by-stage order leaves it.
template <typename Finish>
void stream_windows(ADCStream& adc, TriggerStream& triggers, ReadoutWindows& windows,
                    std::vector<ADCStream::Entry>& block, double step, Finish&& finish) {
    const auto open = [&](double trigger_time) { windows.open(trigger_time); };
    std::exception_ptr failure;
    while (adc.fill(block, ADCStream::block_size) > 0) {
        if (failure) {
            continue; // only the draws remain
        }
        try {
            triggers.push_block(block, open);
            windows.take_block(block, static_cast<double>(triggers.next_index()) * step, finish);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    triggers.finish(open);
    windows.finish(finish);
}

} // namespace

template <typename Finish>
bool ZozuvUza::stream_pes(Impl& s, const std::vector<double>& pe_times, const SimulateContext& context,
                          Finish&& finish) {
    check_pe_times(pe_times, s.time_offsets, s.pmt_time_step);
    auto& w = s.work.get();
    auto& pmt = kept(w.pmt, s.pmt_time_step);
    pe_to_waveform(pe_times, s.time_distribution, s.amplitude_distribution, s.rng, pmt, context.trace,
                   context.interrupt);
    auto adc = s.adc_sim.stream(pmt, s.rng, &w.adc, context.trace, context.interrupt);
    if (!adc) {
        return false;
    }
    auto& triggers = kept(w.triggers, s.trigger_sim);
    auto& windows = kept(w.windows, s.trigger_sim.adc_step(), s.waveform_samples, s.trigger_offset);
    triggers.restart();
    windows.restart();
    stream_windows(*adc, triggers, windows, w.block, s.trigger_sim.adc_step(), finish);
    return true;
}

double ZozuvUza::adc_step() const {
    return state().trigger_sim.adc_step();
}

std::vector<ostrelin::ZozuvUzaTrigger> ZozuvUza::simulate(const std::vector<double>& pe_times, int channel) {
    return simulate(pe_times, channel, SimulateContext{});
}

std::vector<ostrelin::ZozuvUzaTrigger> ZozuvUza::simulate(const std::vector<double>& pe_times, int channel,
                                                          const SimulateContext& context) {
    Impl& s = state();
    Records records;
    records.reserve(first_reserve(s.work.get().records_per_pe, pe_times.size()));
    std::size_t integrated = 0;
    CallTrace* trace = context.trace;
    const bool in_context = trace != nullptr || context.baseline != nullptr;
    std::vector<std::uint8_t> present;
    if (trace != nullptr) {
        trace->adc_shape = &s.adc_sim.pulse_shape();
        trace->pmt_step = s.pmt_time_step;
    }
    // The streaming chain wherever the ADC can stream; else stage by stage.
    const bool streamed = stream_pes(s, pe_times, context, [&](double start, const auto& samples) {
        const auto stamp = window_stamp(s, start, context.early_windows);
        if (!stamp) {
            return;
        }
        if (in_context) {
            finish_in_context(s, context, start, *stamp, samples(&present), present, channel, records);
        } else {
            finish_window(s, *stamp, samples(), channel, records);
        }
        // Integrated while the samples are fresh in cache.
        if (records.size() - integrated >= integral_lanes) {
            integrate(records, integrated);
            integrated = records.size();
        }
    });
    if (!streamed) {
        const auto adc =
            s.adc_sim.simulate_plain(kept(s.work.get().pmt, s.pmt_time_step), s.rng, trace, context.interrupt);
        return simulate_windows(s, adc, channel, context);
    }
    integrate(records, integrated);
    s.work.get().records_per_pe =
        pe_times.empty() ? 0.0 : static_cast<double>(records.size()) / static_cast<double>(pe_times.size());
    return records;
}

std::vector<ostrelin::ZozuvUzaTrigger> ZozuvUza::simulate_windows(const Impl& s,
                                                                  const SparseWaveform<unsigned short>& adc,
                                                                  int channel, const SimulateContext& context) {
    const auto trigger_times = s.trigger_sim.simulate(adc, context.interrupt);
    const double step = adc.time_step();
    Records records;
    records.reserve(trigger_times.size());
    for (const double t : trigger_times) {
        const double start = t + (static_cast<double>(s.trigger_offset) * step);
        const auto length = static_cast<std::size_t>(s.waveform_samples);
        const auto stamp = window_stamp(s, start, context.early_windows);
        if (!stamp) {
            continue;
        }
        const std::int64_t first = time_to_index(start, step);
        if (context.trace != nullptr || context.baseline != nullptr) {
            std::vector<std::uint8_t> present;
            present_from(adc, first, length, present);
            finish_in_context(s, context, start, *stamp, adc.samples_from(first, length), present, channel, records);
        } else {
            finish_window(s, *stamp, adc.samples_from(first, length), channel, records);
        }
    }
    integrate(records, 0);
    return records;
}

double ZozuvUza::calibrate_delay(std::size_t num_pes, std::size_t num_sim) {
    Impl& s = state();
    // The runs of simulate without their records: only how many windows make
    // one, and the time of the first. Only delays below one second are
    // measured: the whole seconds are not read.
    const auto tick_time = [](unsigned int ticks) {
        return static_cast<double>(ticks) * ostrelin::ZozuvUzaTrigger::SECONDS_PER_TICK;
    };
    const SimulateContext context;
    return velmora::calibrate_delay(
        num_pes, num_sim, context.interrupt, [&](const std::vector<double>& pe_times, double& time) {
            std::size_t count = 0;
            const bool streamed = stream_pes(s, pe_times, context, [&](double start, const auto& /*samples*/) {
                const auto stamp = window_stamp(s, start, context.early_windows);
                if (stamp && count++ == 0) {
                    time = tick_time(stamp->second);
                }
            });
            if (!streamed) {
                const auto adc = s.adc_sim.simulate_plain(kept(s.work.get().pmt, s.pmt_time_step), s.rng, nullptr,
                                                          context.interrupt);
                const auto records = simulate_windows(s, adc, 0, context);
                count = records.size();
                if (count > 0) {
                    time = tick_time(records.front().trigger_time_ticks);
                }
            }
            return count;
        });
}

template class ModelHandle<ZozuvUzaState>;

} // namespace velmora
