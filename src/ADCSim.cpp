#include "ADCSim.h"

#include "CallTrace.h"
#include "Checks.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace velmora {

ADCSim::ADCSim(double adc_step, SparseConvolution<double> pulse_shape, int jitter, double gain, double offset,
               double preamp_clip, double noise, double clip)
    : ADCConversion(adc_step, std::move(pulse_shape), jitter, gain, offset, preamp_clip, noise, clip) {}

SparseWaveform<double> ADCSim::sample_down(const SparseWaveform<double>& shaped, std::mt19937& rng) const {
    BorrowedTwister twister(rng);
    return sample_down(shaped, twister.engine());
}

SparseWaveform<double> ADCSim::sample_down(const SparseWaveform<double>& shaped, MersenneTwister& rng, CallTrace* trace,
                                           InterruptCheck interrupt) const {
    SparseWaveform<double> out(adc_step());
    checks::require_positive(shaped.time_step(), "ADCSim::sample_down: the input's time_step");
    const std::int64_t ratio = ratio_on(shaped.time_step(), "ADCSim::sample_down", "time steps of the input");

    // The phase is drawn before anything else, also for an empty input, so
    // that the generator advances alike whatever the waveform holds.
    const std::int64_t phase = draw_phase(ratio, rng, trace);

    std::size_t seen = 0;
    for (const auto& [i, v] : shaped.samples()) {
        interrupt.poll_every(seen++);
        // Floor division: index i = k * ratio + r with r in [0, ratio - 1],
        // also for negative i (PMT index -1 is ADC index -1 at phase ratio - 1).
        std::int64_t k = i / ratio;
        std::int64_t r = i % ratio;
        if (r < 0) {
            r += ratio;
            --k;
        }
        if (r == phase) {
            // k increases with i, so this appends; index k is where the time
            // k * adc_step lies on the ADC grid.
            out.add_at_index(k, v);
        }
    }
    return out;
}

SparseWaveform<unsigned short> ADCSim::simulate(const SparseWaveform<double>& pmt_waveform, std::mt19937& rng) const {
    BorrowedTwister twister(rng);
    return simulate(pmt_waveform, twister.engine());
}

SparseWaveform<unsigned short> ADCSim::simulate(const SparseWaveform<double>& pmt_waveform,
                                                MersenneTwister& rng) const {
    auto samples = stream(pmt_waveform, rng);
    if (!samples) {
        return simulate_plain(pmt_waveform, rng);
    }
    std::vector<ADCStream::Entry> entries;
    entries.reserve(samples->size_hint());
    std::vector<ADCStream::Entry> block;
    while (samples->fill(block, ADCStream::block_size) > 0) {
        entries.insert(entries.end(), block.begin(), block.end());
    }
    SparseWaveform<unsigned short> out(adc_step());
    out.assign_sorted(std::move(entries));
    return out;
}

SparseWaveform<unsigned short> ADCSim::simulate_plain(const SparseWaveform<double>& pmt_waveform,
                                                      std::mt19937& rng) const {
    BorrowedTwister twister(rng);
    return simulate_plain(pmt_waveform, twister.engine());
}

SparseWaveform<unsigned short> ADCSim::simulate_plain(const SparseWaveform<double>& pmt_waveform, MersenneTwister& rng,
                                                      CallTrace* trace, InterruptCheck interrupt) const {
    const SparseWaveform<double> shaped = pulse_shape().convolve(pmt_waveform, interrupt);
    return digitise(sample_down(shaped, rng, trace, interrupt), rng, trace, interrupt);
}

std::optional<ADCStream> ADCSim::stream(const SparseWaveform<double>& pmt_waveform, MersenneTwister& rng,
                                        ADCStream::Scratch* scratch, CallTrace* trace, InterruptCheck interrupt) const {
    // The stream reads tap i of the entry at index a as landing on a + i:
    // the pulse shape must lie on the waveform's own grid.
    if (!(pulse_shape().time_step() == pmt_waveform.time_step()) || !pulse_shape().streams_exactly(pmt_waveform)) {
        return std::nullopt;
    }
    // The input lies on the pulse shape's grid; the phase draw comes first,
    // as in sample_down.
    const std::int64_t phase = draw_phase(ratio(), rng, trace);
    return std::optional<ADCStream>(std::in_place, *this, pmt_waveform.samples(), phase, rng, scratch, trace,
                                    interrupt);
}

std::optional<SparseWaveform<double>> ADCSim::stream_points(const SparseWaveform<double>& pmt_waveform,
                                                            std::mt19937& rng) const {
    BorrowedTwister twister(rng);
    return stream_points(pmt_waveform, twister.engine());
}

std::optional<SparseWaveform<double>> ADCSim::stream_points(const SparseWaveform<double>& pmt_waveform,
                                                            MersenneTwister& rng) const {
    auto points = stream(pmt_waveform, rng);
    if (!points) {
        return std::nullopt;
    }
    SparseWaveform<double> out(adc_step());
    std::vector<SparseWaveform<double>::Sample> block;
    std::size_t n = points->points_into(block, ADCStream::block_size);
    while (n > 0) {
        for (std::size_t i = 0; i < n; ++i) {
            out.add_at_index(block[i].first, block[i].second);
        }
        n = points->points_into(block, ADCStream::block_size);
    }
    return out;
}

SparseWaveform<unsigned short> ADCSim::digitise(const SparseWaveform<double>& sampled, std::mt19937& rng) const {
    BorrowedTwister twister(rng);
    return digitise(sampled, twister.engine());
}

SparseWaveform<unsigned short> ADCSim::digitise(const SparseWaveform<double>& sampled, MersenneTwister& rng,
                                                CallTrace* trace, InterruptCheck interrupt) const {
    SparseWaveform<unsigned short> out(adc_step());
    out.reserve(sampled.size());

    // One distribution per call: a variate that it keeps back at the end of
    // the call is dropped with it. count scales the standard variate by the
    // noise.
    draw::PolarNormal gauss;

    for (const auto& [k, v] : sampled.samples()) {
        interrupt.poll_every(out.size());
        const double gaussian = gauss(rng);
        out.add_at_index(k, count(v, gaussian));
        if (trace != nullptr && clipped(v, gaussian)) {
            trace->adc_clipped.push_back(k);
        }
    }
    return out;
}

} // namespace velmora
