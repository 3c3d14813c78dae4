#include "ToTSim.h"

#include "Discriminator.h"
#include "Interrupt.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace velmora {

ToTSim::ToTSim(double tot_step, SparseConvolution<double> pulse_shape, double threshold, double dead_time, double noise,
               double jitter)
    : tot_step_(tot_step), pulse_shape_(std::move(pulse_shape)), threshold_(threshold), dead_time_(dead_time),
      noise_(noise), jitter_(jitter) {
    // A pulse shape coarser than the TDC would report edges finer than its own
    // resolution; 1 ppm of slack absorbs steps read back from text files.
    if (pulse_shape_.time_step() > tot_step_ * 1.000001) {
        throw std::invalid_argument("ToTSim: TDC step is smaller than pulse shape time step.");
    }
    // Every reported time is divided by the TDC step before rounding.
    if (!(std::isfinite(tot_step_) && tot_step_ > 0.0)) {
        throw std::invalid_argument("ToTSim: TDC step must be a finite number greater than zero.");
    }
}

std::vector<ToTSim::Hit> ToTSim::discriminate(const SparseWaveform<double>& shaped, std::mt19937& rng) const {
    // Only stored samples are evaluated: a gap in the sparse waveform neither
    // draws noise nor crosses the threshold, so an open hit spans it.
    std::vector<Hit> hits;
    Discriminator discriminator(*this, shaped.time_step(), rng, hits);
    std::size_t seen = 0;
    for (const auto& [index, value] : shaped.samples()) {
        poll_interrupt_every(seen++);
        discriminator.feed(index, value);
    }
    discriminator.finish();
    return hits;
}

std::vector<ToTSim::Hit> ToTSim::simulate_plain(const SparseWaveform<double>& waveform, std::mt19937& rng) const {
    return discriminate(pulse_shape_.convolve(waveform), rng);
}

std::vector<ToTSim::Hit> ToTSim::simulate(const SparseWaveform<double>& waveform, std::mt19937& rng) const {
    Scratch scratch;
    simulate(waveform, rng, scratch);
    return std::move(scratch.hits);
}

const std::vector<ToTSim::Hit>& ToTSim::simulate(const SparseWaveform<double>& waveform, std::mt19937& rng,
                                                 Scratch& scratch) const {
    scratch.hits.clear();
    if (!pulse_shape_.streams_exactly(waveform)) {
        scratch.hits = simulate_plain(waveform, rng);
        return scratch.hits;
    }
    Discriminator discriminator(*this, waveform.time_step(), rng, scratch.hits);
    pulse_shape_.stream(
        waveform, [&](std::int64_t index, double value) { discriminator.feed(index, value); }, scratch.shaped);
    discriminator.finish();
    return scratch.hits;
}

} // namespace velmora
