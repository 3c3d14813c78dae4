#include "ToTSim.h"

#include "Interrupt.h"
#include "ToTStream.h"

#include <cstdint>
#include <utility>

namespace velmora {

ToTSim::ToTSim(double tot_step, SparseConvolution<double> pulse_shape, double threshold, double dead_time, double noise,
               double jitter)
    : ToTSettings(tot_step, std::move(pulse_shape), threshold, dead_time, noise, jitter) {}

std::vector<ToTSim::Hit> ToTSim::discriminate(const SparseWaveform<double>& shaped, std::mt19937& rng) const {
    BorrowedTwister twister(rng);
    return discriminate(shaped, twister.engine());
}

std::vector<ToTSim::Hit> ToTSim::discriminate(const SparseWaveform<double>& shaped, MersenneTwister& rng) const {
    // Only stored samples are evaluated: a gap in the sparse waveform neither
    // draws noise nor crosses the threshold, so an open hit spans it.
    std::vector<Hit> hits;
    ToTStream discriminator(*this, shaped.time_step(), rng, hits);
    std::size_t seen = 0;
    for (const auto& [index, value] : shaped.samples()) {
        poll_interrupt_every(seen++);
        discriminator.feed(index, value);
    }
    discriminator.finish();
    return hits;
}

std::vector<ToTSim::Hit> ToTSim::simulate_plain(const SparseWaveform<double>& waveform, std::mt19937& rng) const {
    BorrowedTwister twister(rng);
    return simulate_plain(waveform, twister.engine());
}

std::vector<ToTSim::Hit> ToTSim::simulate_plain(const SparseWaveform<double>& waveform, MersenneTwister& rng) const {
    return discriminate(pulse_shape().convolve(waveform), rng);
}

std::vector<ToTSim::Hit> ToTSim::simulate(const SparseWaveform<double>& waveform, std::mt19937& rng) const {
    BorrowedTwister twister(rng);
    return simulate(waveform, twister.engine());
}

std::vector<ToTSim::Hit> ToTSim::simulate(const SparseWaveform<double>& waveform, MersenneTwister& rng) const {
    Scratch scratch;
    simulate(waveform, rng, scratch);
    return std::move(scratch.hits);
}

const std::vector<ToTSim::Hit>& ToTSim::simulate(const SparseWaveform<double>& waveform, MersenneTwister& rng,
                                                 Scratch& scratch) const {
    scratch.hits.clear();
    if (!pulse_shape().streams_exactly(waveform)) {
        scratch.hits = simulate_plain(waveform, rng);
        return scratch.hits;
    }
    ToTStream discriminator(*this, waveform.time_step(), rng, scratch.hits);
    pulse_shape().stream(
        waveform, [&](std::int64_t index, double value) { discriminator.feed(index, value); }, scratch.shaped);
    discriminator.finish();
    return scratch.hits;
}

} // namespace velmora
