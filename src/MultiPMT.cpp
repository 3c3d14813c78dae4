#include "MultiPMT.h"

#include "ADCSim.h"
#include "ADCStream.h"
#include "CallTrace.h"
#include "Checks.h"
#include "ModelHandleMembers.h"
#include "PMTResponse.h"
#include "ToTSim.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>

namespace velmora {

struct VELMORA_EXPORT MultiPMTState {
    static constexpr const char* model_name = "MultiPMT";

    draw::PiecewiseLinear time_distribution;
    draw::PiecewiseLinear amplitude_distribution;
    double pmt_time_step;
    ADCSim adc_sim;
    ToTSim tot_sim;
    MersenneTwister rng;
    double sample_delay;
    TimeRange time_offsets; // first and last boundary of time_distribution, for the PE time check

    // Storage that simulate works in, kept from call to call: a call then
    // allocates little beyond its records, and calibrate_delay nothing once
    // warm.
    struct Workspace {
        std::optional<SparseWaveform<double>> pmt;
        ToTSim::Scratch tot;
        ADCStream::Scratch adc;
        std::vector<ADCStream::Entry> block;
        std::vector<std::pair<std::int64_t, std::size_t>> lookups;
        std::vector<ostrelin::MultiPMTTrigger> records; // of calibrate_delay
    };
    KeptStorage<Workspace> work;
};

MultiPMT::MultiPMT(const Config& config) : ModelHandle(build(config)) {}

MultiPMT::MultiPMT(const std::filesystem::path& time_spectrum, const std::filesystem::path& amplitude_spectrum,
                   double pmt_time_step, double tot_step, const std::filesystem::path& tot_pulse_shape,
                   double tot_threshold, double tot_dead_time, double tot_noise, double tot_jitter, double adc_step,
                   const std::filesystem::path& adc_pulse_shape, int adc_jitter, double adc_gain, double adc_offset,
                   double adc_noise, double adc_clip, double sample_delay, int seed)
    : MultiPMT(Config{
          .time_spectrum = time_spectrum,
          .amplitude_spectrum = amplitude_spectrum,
          .pmt_time_step = pmt_time_step,
          .tot_step = tot_step,
          .tot_pulse_shape = tot_pulse_shape,
          .tot_threshold = tot_threshold,
          .tot_dead_time = tot_dead_time,
          .tot_noise = tot_noise,
          .tot_jitter = tot_jitter,
          .adc_step = adc_step,
          .adc_pulse_shape = adc_pulse_shape,
          .adc_jitter = adc_jitter,
          .adc_gain = adc_gain,
          .adc_offset = adc_offset,
          .adc_noise = adc_noise,
          .adc_clip = adc_clip,
          .sample_delay = sample_delay,
          .seed = seed,
      }) {}

MultiPMT::MultiPMT(SpectrumPoints time_spectrum, SpectrumPoints amplitude_spectrum, double pmt_time_step,
                   double tot_step, SpectrumPoints tot_pulse_shape, double tot_threshold, double tot_dead_time,
                   double tot_noise, double tot_jitter, double adc_step, SpectrumPoints adc_pulse_shape, int adc_jitter,
                   double adc_gain, double adc_offset, double adc_noise, double adc_clip, double sample_delay, int seed)
    : MultiPMT(Config{
          .time_spectrum = std::move(time_spectrum),
          .amplitude_spectrum = std::move(amplitude_spectrum),
          .pmt_time_step = pmt_time_step,
          .tot_step = tot_step,
          .tot_pulse_shape = std::move(tot_pulse_shape),
          .tot_threshold = tot_threshold,
          .tot_dead_time = tot_dead_time,
          .tot_noise = tot_noise,
          .tot_jitter = tot_jitter,
          .adc_step = adc_step,
          .adc_pulse_shape = std::move(adc_pulse_shape),
          .adc_jitter = adc_jitter,
          .adc_gain = adc_gain,
          .adc_offset = adc_offset,
          .adc_noise = adc_noise,
          .adc_clip = adc_clip,
          .sample_delay = sample_delay,
          .seed = seed,
      }) {}

std::unique_ptr<MultiPMT::Impl> MultiPMT::build(const Config& c) {
    auto time_distribution = load_spectrum(c.time_spectrum);
    auto amplitude_distribution = load_spectrum(c.amplitude_spectrum);
    checks::require_grid_step(c.pmt_time_step, "MultiPMT: pmt_time_step");
    auto adc_kernel =
        load_pulse_shape(c.adc_pulse_shape, c.pmt_time_step, "Pulse shape time step does not match PMT step.");
    // The ADC clips with the same bound before and after its noise.
    ADCSim adc_sim(c.adc_step, std::move(adc_kernel), c.adc_jitter, c.adc_gain, c.adc_offset, c.adc_clip, c.adc_noise,
                   c.adc_clip);
    checks::require_grid_step(c.tot_step, "MultiPMT: tot_step");
    auto tot_kernel =
        load_pulse_shape(c.tot_pulse_shape, c.tot_step, "ToT pulse shape time step does not match ToT step.");
    checks::require_finite(c.tot_threshold, "MultiPMT: tot_threshold");
    checks::require_finite(c.tot_dead_time, "MultiPMT: tot_dead_time");
    checks::require_deviation(c.tot_noise, "MultiPMT: tot_noise");
    checks::require_deviation(c.tot_jitter, "MultiPMT: tot_jitter");
    ToTSim tot_sim(c.tot_step, std::move(tot_kernel), c.tot_threshold, c.tot_dead_time, c.tot_noise, c.tot_jitter);
    checks::require_finite(c.sample_delay, "MultiPMT: sample_delay");
    auto impl = std::make_unique<Impl>(Impl{std::move(time_distribution), std::move(amplitude_distribution),
                                            c.pmt_time_step, std::move(adc_sim), std::move(tot_sim),
                                            MersenneTwister(static_cast<MersenneTwister::result_type>(c.seed)),
                                            c.sample_delay, TimeRange{}, KeptStorage<Impl::Workspace>{}});
    impl->time_offsets = time_range(impl->time_distribution);
    return impl;
}

// The handle copies and moves the state record.
MultiPMT::MultiPMT(const MultiPMT& other) = default;
MultiPMT& MultiPMT::operator=(const MultiPMT& other) = default;
MultiPMT::MultiPMT(MultiPMT&& other) noexcept = default;
MultiPMT& MultiPMT::operator=(MultiPMT&& other) noexcept = default;
MultiPMT::~MultiPMT() = default;

std::vector<ostrelin::MultiPMTTrigger> MultiPMT::simulate(const std::vector<double>& pe_times, int channel) {
    return simulate(pe_times, channel, SimulateContext{});
}

std::vector<ostrelin::MultiPMTTrigger> MultiPMT::simulate(const std::vector<double>& pe_times, int channel,
                                                          const SimulateContext& context) {
    std::vector<ostrelin::MultiPMTTrigger> records;
    simulate_into(state(), pe_times, channel, records, context);
    return records;
}

void MultiPMT::simulate_into(Impl& s, const std::vector<double>& pe_times, int channel,
                             std::vector<ostrelin::MultiPMTTrigger>& records, const SimulateContext& context) {
    records.clear();
    check_pe_times(pe_times, s.time_offsets, s.pmt_time_step);
    CallTrace* trace = context.trace;
    const InterruptCheck interrupt = context.interrupt;
    if (trace != nullptr) {
        trace->adc_shape = &s.adc_sim.pulse_shape();
        trace->tot_shape = &s.tot_sim.pulse_shape();
        trace->pmt_step = s.pmt_time_step;
    }
    auto& w = s.work.get();
    auto& pmt = kept(w.pmt, s.pmt_time_step);
    pe_to_waveform(pe_times, s.time_distribution, s.amplitude_distribution, s.rng, pmt, trace, interrupt);
    // The ToT branch draws before the ADC branch.
    const auto& hits = s.tot_sim.simulate(pmt, s.rng, w.tot, trace, interrupt);
    records.reserve(hits.size());
    for (const auto& [start, end] : hits) {
        records.push_back({start, channel, end - start, 0});
    }

    auto adc_stream = s.adc_sim.stream(pmt, s.rng, &w.adc, trace, interrupt);
    if (!adc_stream) {
        const auto adc = s.adc_sim.simulate_plain(pmt, s.rng, trace, interrupt);
        for (auto& r : records) {
            // A sample that the ADC did not store reads 0, not the offset.
            r.adc_sample = adc.get_sample(s.sample_delay + r.time);
        }
        if (trace != nullptr) {
            trace_records(s, *trace, records);
        }
        return;
    }

    // Only the ADC samples that the hits read are kept: the lookups are sorted
    // by index and met while the ADC entries stream past (every entry still
    // takes its draw). An index that cannot be formed is reported after the
    // last draw, as the stage-by-stage order would.
    const double step = s.adc_sim.adc_step();
    auto& lookups = w.lookups;
    lookups.clear();
    std::exception_ptr failure;
    try {
        for (std::size_t h = 0; h < records.size(); ++h) {
            lookups.emplace_back(time_to_index(s.sample_delay + records[h].time, step), h);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    std::ranges::sort(lookups);
    std::size_t next = 0;
    while (adc_stream->fill(w.block, ADCStream::block_size) > 0) {
        for (const auto& [k, v] : w.block) {
            while (next < lookups.size() && lookups[next].first < k) {
                ++next; // not stored: stays 0
            }
            for (; next < lookups.size() && lookups[next].first == k; ++next) {
                records[lookups[next].second].adc_sample = v;
            }
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (trace != nullptr) {
        trace_records(s, *trace, records);
    }
}

void MultiPMT::trace_records(const Impl& s, CallTrace& trace, const std::vector<ostrelin::MultiPMTTrigger>& records) {
    // The index each record's sample is read at, as both ADC paths form it.
    const double step = s.adc_sim.adc_step();
    for (const auto& r : records) {
        const std::int64_t k = time_to_index(s.sample_delay + r.time, step);
        trace.record_points.push_back(k);
        trace.record_clipped.push_back(std::ranges::binary_search(trace.adc_clipped, k) ? 1 : 0);
    }
}

double MultiPMT::tot_step() const {
    return state().tot_sim.tot_step();
}

double MultiPMT::calibrate_delay(std::size_t num_pes, std::size_t num_sim) {
    Impl& s = state();
    // The runs of simulate, their records kept in the model's storage.
    const SimulateContext context;
    return velmora::calibrate_delay(num_pes, num_sim, context.interrupt,
                                    [&](const std::vector<double>& pe_times, double& time) {
                                        auto& records = s.work.get().records;
                                        simulate_into(s, pe_times, 0, records, context);
                                        if (!records.empty()) {
                                            time = records.front().time;
                                        }
                                        return records.size();
                                    });
}

template class ModelHandle<MultiPMTState>;

} // namespace velmora
