#include "ADCSim.h"

#include "Interrupt.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace velmora {

namespace {

// The random phase is drawn from [0, ratio - 1] as a 32-bit int.
constexpr std::int64_t max_ratio = std::int64_t{1} << 31;

void require_step(double step, const std::string& name) {
    if (!(std::isfinite(step) && step > 0.0)) {
        throw std::invalid_argument(name + " must be a finite number greater than zero.");
    }
}

void require_finite(double value, const std::string& name) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(name + " must be finite.");
    }
}

// Grid steps per ADC step, by the library's time-to-index rule (4 ns on a
// 0.1 ns grid gives 40, on a 0.3 ns grid 13). Both steps are finite and
// positive here, so the only quotient without an index is one too large.
std::int64_t sampling_ratio(double adc_step, double grid_step, const std::string& context,
                            const std::string& grid_name) {
    std::int64_t ratio = max_ratio + 1;
    try {
        ratio = time_to_index(adc_step, grid_step);
    } catch (const std::domain_error&) {
        // Beyond the 64-bit range: reported as too large below.
    }
    if (ratio < 1) {
        throw std::invalid_argument(context + ": adc_step must be at least 0.999 " + grid_name + ".");
    }
    if (ratio > max_ratio) {
        throw std::invalid_argument(context + ": adc_step must not span more than 2^31 " + grid_name + ".");
    }
    return ratio;
}

} // namespace

ADCSim::ADCSim(double adc_step, SparseConvolution<double> pulse_shape, int jitter, double gain, double offset,
               double preamp_clip, double noise, double clip)
    : adc_step_(adc_step), pulse_shape_(std::move(pulse_shape)), jitter_(jitter), gain_(gain), offset_(offset),
      preamp_clip_(preamp_clip), noise_(noise), clip_(clip) {
    require_step(adc_step_, "ADCSim: adc_step");
    require_step(pulse_shape_.time_step(), "ADCSim: pulse_shape time_step");
    ratio_ = sampling_ratio(adc_step_, pulse_shape_.time_step(), "ADCSim", "pulse_shape time steps");
    require_finite(gain_, "ADCSim: gain");
    require_finite(offset_, "ADCSim: offset");
    require_finite(preamp_clip_, "ADCSim: preamp_clip");
    // A standard deviation; also keeps every noise value finite.
    if (!(std::isfinite(noise_) && noise_ >= 0.0)) {
        throw std::invalid_argument("ADCSim: noise must be a finite number not below zero.");
    }
    // Counts lie in [0, clip], which must fit the unsigned 16-bit sample; a
    // negative clip would wrap into large counts.
    if (!(clip_ >= 0.0 && clip_ <= 65535.0)) {
        throw std::invalid_argument("ADCSim: clip must lie in [0, 65535].");
    }
}

SparseWaveform<double> ADCSim::sample_down(const SparseWaveform<double>& shaped, std::mt19937& rng) const {
    SparseWaveform<double> out(adc_step_);
    require_step(shaped.time_step(), "ADCSim::sample_down: the input's time_step");
    const std::int64_t ratio =
        sampling_ratio(adc_step_, shaped.time_step(), "ADCSim::sample_down", "time steps of the input");

    // The phase is drawn before anything else, also for an empty input, so
    // that the generator advances alike whatever the waveform holds.
    std::int64_t phase = jitter_;
    if (jitter_ < 0) {
        std::uniform_int_distribution<int> phase_dist(0, static_cast<int>(ratio - 1));
        phase = phase_dist(rng);
    }

    std::size_t seen = 0;
    for (const auto& [i, v] : shaped.samples()) {
        poll_interrupt_every(seen++);
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
    SparseWaveform<unsigned short> out(adc_step_);
    out.assign_sorted(std::move(entries));
    return out;
}

SparseWaveform<unsigned short> ADCSim::simulate_plain(const SparseWaveform<double>& pmt_waveform,
                                                      std::mt19937& rng) const {
    const SparseWaveform<double> shaped = pulse_shape_.convolve(pmt_waveform);
    return digitise(sample_down(shaped, rng), rng);
}

std::optional<ADCStream> ADCSim::stream(const SparseWaveform<double>& pmt_waveform, std::mt19937& rng,
                                        ADCStream::Scratch* scratch) const {
    // The stream reads tap i of the entry at index a as landing on a + i:
    // the pulse shape must lie on the waveform's own grid.
    if (!(pulse_shape_.time_step() == pmt_waveform.time_step()) || !pulse_shape_.streams_exactly(pmt_waveform)) {
        return std::nullopt;
    }
    const std::int64_t ratio = ratio_; // the input lies on the pulse shape's grid
    // The phase draw comes first, as in sample_down.
    std::int64_t phase = jitter_;
    if (jitter_ < 0) {
        std::uniform_int_distribution<int> phase_dist(0, static_cast<int>(ratio - 1));
        phase = phase_dist(rng);
    }
    ADCStream out(*this, pmt_waveform.samples(), ratio, phase, rng);
    out.lent_ = scratch;
    return out;
}

std::optional<SparseWaveform<double>> ADCSim::stream_points(const SparseWaveform<double>& pmt_waveform,
                                                            std::mt19937& rng) const {
    auto points = stream(pmt_waveform, rng);
    if (!points) {
        return std::nullopt;
    }
    SparseWaveform<double> out(adc_step_);
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
    SparseWaveform<unsigned short> out(adc_step_);
    out.reserve(sampled.size());

    // One distribution per call: a variate that it keeps back at the end of
    // the call is dropped with it. A standard variate times noise (plus the
    // mean 0) is exactly what a distribution of standard deviation noise
    // returns, and it stays defined for noise 0, where such a distribution
    // would violate its precondition of a positive deviation.
    std::normal_distribution<double> gauss(0.0, 1.0);

    for (const auto& [k, v] : sampled.samples()) {
        poll_interrupt_every(out.size());
        out.add_at_index(k, count(v, gauss(rng)));
    }
    return out;
}

} // namespace velmora
