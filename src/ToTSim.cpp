#include "ToTSim.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace velmora {

ToTSim::ToTSim(double tot_step, SparseConvolution<double> pulse_shape, double threshold, double dead_time,
               double noise, double jitter)
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

namespace {

// Time of an edge on the TDC grid: nearest multiple of the step, halves away
// from zero.
double to_tdc(double time, double tot_step) { return std::round(time / tot_step) * tot_step; }

} // namespace

std::vector<ToTSim::Hit> ToTSim::simulate(const SparseWaveform<double>& waveform, std::mt19937& rng) const {
    const SparseWaveform<double> shaped = pulse_shape_.convolve(waveform);
    const double step = shaped.time_step();

    // Separate objects: each caches the second value of a generated pair for
    // itself, and both caches are dropped with the call.
    std::normal_distribution<double> noise_dist(0.0, noise_);
    std::normal_distribution<double> jitter_dist(0.0, jitter_);

    std::vector<Hit> hits;
    bool open = false;
    double start = 0.0;
    double last_end = -std::numeric_limits<double>::infinity();

    // Only stored samples are evaluated: a gap in the sparse waveform neither
    // draws noise nor crosses the threshold, so an open hit spans it.
    for (const auto& [index, value] : shaped.samples()) {
        const double t = static_cast<double>(index) * step;
        const double n = noise_dist(rng);
        if (value + n >= threshold_) {
            if (!open && t > last_end + dead_time_) {
                open = true;
                start = t;
            }
        } else if (open && t > start + dead_time_) {
            // Below threshold, or NaN: the trailing edge.
            const double s = start + jitter_dist(rng);
            const double e = t + jitter_dist(rng);
            hits.emplace_back(to_tdc(s, tot_step_), to_tdc(e, tot_step_));
            last_end = t;
            open = false;
        }
    }

    // A pulse still above threshold at the last stored sample ends one TDC step
    // after it. The end's jitter is drawn first here.
    if (open) {
        const double t_last = static_cast<double>(shaped.samples().back().first) * step;
        const double e = t_last + (tot_step_ + jitter_dist(rng));
        const double s = start + jitter_dist(rng);
        hits.emplace_back(to_tdc(s, tot_step_), to_tdc(e, tot_step_));
    }
    return hits;
}

} // namespace velmora
