#include "MultiPMTBench.h"

#include "Memory.h"
#include "PMTResponse.h"

#include <algorithm>
#include <cstdint>

namespace velmora::bench {

// The ADC clips with the same bound before and after its noise.
MultiPMTBench::MultiPMTBench(const std::filesystem::path& dir)
    : DetectorBench(dir,
                    {
                        .pulse_shape = "adc_pulse_shape",
                        .jitter = "adc_jitter",
                        .gain = "adc_gain",
                        .offset = "adc_offset",
                        .preamp_clip = "adc_clip",
                        .noise = "adc_noise",
                        .clip = "adc_clip",
                    }),
      tot_(config_.number("tot_step"),
           load_pulse_shape(file("tot_pulse_shape"), config_.number("tot_step"),
                            "ToT pulse shape time step does not match ToT step."),
           config_.number("tot_threshold"), config_.number("tot_dead_time"), config_.number("tot_noise"),
           config_.number("tot_jitter")),
      sample_delay_(config_.number("sample_delay")) {}

MultiPMTBench::Model MultiPMTBench::make_model() const {
    return {file("time_spectrum"),
            file("amplitude_spectrum"),
            pmt_time_step_,
            config_.number("tot_step"),
            file("tot_pulse_shape"),
            config_.number("tot_threshold"),
            config_.number("tot_dead_time"),
            config_.number("tot_noise"),
            config_.number("tot_jitter"),
            config_.number("adc_step"),
            file("adc_pulse_shape"),
            config_.integer("adc_jitter"),
            config_.number("adc_gain"),
            config_.number("adc_offset"),
            config_.number("adc_noise"),
            config_.number("adc_clip"),
            sample_delay_,
            seed()};
}

std::vector<MultiPMTBench::Record> MultiPMTBench::plain(const std::vector<double>& pe_times, int channel,
                                                        std::mt19937& rng, Draws* draws, AdcPath path) {
    const auto pmt = pmt_waveform(pe_times, rng);
    const auto hits = tot_.simulate_plain(pmt, rng);
    const auto adc = path == AdcPath::plain ? adc_.simulate_plain(pmt, rng) : adc_.simulate(pmt, rng);
    if (draws != nullptr) {
        // The ToT stage draws one noise value per entry of its shaped waveform, which it does not return.
        *draws = {
            .pes = pe_times.size(),
            .tot_entries = tot_.pulse_shape().convolve(pmt).size(),
            .hits = hits.size(),
            .adc_entries = adc.size(),
        };
    }
    std::vector<Record> out;
    out.reserve(hits.size());
    for (const auto& [start, end] : hits) {
        out.push_back({
            .time = start,
            .channel = channel,
            .time_over_threshold = end - start,
            .adc_sample = adc.get_sample(sample_delay_ + start),
        });
    }
    return out;
}

double MultiPMTBench::plain_peak_bytes(const SparseWaveform<double>& pmt) const {
    const auto spacing = std::max<std::int64_t>(time_to_index(tot_.pulse_shape().time_step(), pmt.time_step()), 1);
    const std::size_t tot = convolution_entries(pmt, tot_.pulse_shape().kernel().size(), spacing);
    return growth_peak_entries(std::max(tot, adc_shaped_entries(pmt))) * sizeof(SparseWaveform<double>::Sample);
}

void MultiPMTBench::floor(const Draws& d, std::mt19937& rng, double& sink) {
    floor_pes(d, rng, sink);
    {
        // The ToT stage's two separate distributions, fresh per call.
        std::normal_distribution<double> noise(0.0, 1.0);
        std::normal_distribution<double> jitter(0.0, 1.0);
        for (std::size_t i = 0; i < d.tot_entries; ++i) {
            sink += noise(rng);
        }
        for (std::size_t i = 0; i < 2 * d.hits; ++i) {
            sink += jitter(rng);
        }
    }
    floor_adc(d, rng, sink);
}

void MultiPMTBench::floor(const Draws& d, MersenneTwister& rng, double& sink) const {
    floor_pes(d, rng, sink);
    {
        draw::PolarNormal noise;
        draw::PolarNormal jitter;
        for (std::size_t i = 0; i < d.tot_entries; ++i) {
            sink += noise(rng);
        }
        for (std::size_t i = 0; i < 2 * d.hits; ++i) {
            sink += jitter(rng);
        }
    }
    floor_adc(d, rng, sink);
}

} // namespace velmora::bench
