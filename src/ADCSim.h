#pragma once

#include "ADCStream.h"
#include "Export.h"
#include "SparseConvolution.h"
#include "SparseWaveform.h"

#include <cstdint>
#include <optional>
#include <random>

namespace velmora {

// A free-running sampling ADC behind the pre-amplifier and the shaping
// electronics. Shapes a PMT waveform with the electronics pulse shape, keeps
// every ADC-period-th point of the shaped signal at a fixed or random phase and
// digitises each kept value with gain, offset, pre-amplifier clip, Gaussian
// noise and output clip. Only sampled points under the pulses are stored: the
// gaps between pulses carry no baseline and draw no noise. Keeps no state
// between calls; all randomness comes from the generator passed in.
class VELMORA_EXPORT ADCSim {
  public:
    // jitter >= 0 is a fixed sampling phase in PMT grid steps (a phase at or
    // beyond the ADC period matches no point); a negative jitter draws a new
    // random phase on every call. Throws std::invalid_argument when a step is
    // not a finite positive number, when adc_step is shorter than 0.999 pulse
    // shape steps or spans more than 2^31 of them, when clip lies outside
    // [0, 65535], when noise is negative, or when any level is not finite.
    ADCSim(double adc_step, SparseConvolution<double> pulse_shape, int jitter, double gain, double offset,
           double preamp_clip, double noise, double clip);

    // Picks the shaped signal's value at index k * ratio + phase of its own
    // grid (ratio = its steps per ADC step) as ADC sample k, at time
    // k * adc_step. With a negative jitter the phase is drawn first, from
    // [0, ratio - 1], even when the input is empty. Throws
    // std::invalid_argument when the input's step gives no ratio of at least 1.
    SparseWaveform<double> sample_down(const SparseWaveform<double>& shaped, std::mt19937& rng) const;

    // ADC counts of one unshaped PMT waveform on the ADC grid: convolve, then
    // sample_down, then one normal draw per sampled entry in index order (also
    // when noise is 0). When the pulse shape lies on the waveform's own grid,
    // only the shaped points that the ADC samples are computed, each from the
    // same contributions added in the same order, so the result and the draws
    // are those of simulate_plain at a fraction of the work.
    SparseWaveform<unsigned short> simulate(const SparseWaveform<double>& pmt_waveform, std::mt19937& rng) const;

    // The same, composed step by step: the full convolution on the PMT grid,
    // sample_down, digitise. The reference for simulate.
    SparseWaveform<unsigned short> simulate_plain(const SparseWaveform<double>& pmt_waveform, std::mt19937& rng) const;

    // Gain, offset, the two clips, one normal draw per entry and rounding,
    // turning sampled shaped values into ADC counts.
    SparseWaveform<unsigned short> digitise(const SparseWaveform<double>& sampled, std::mt19937& rng) const;

    double adc_step() const noexcept { return adc_step_; }
    const SparseConvolution<double>& pulse_shape() const noexcept { return pulse_shape_; }
    int jitter() const noexcept { return jitter_; }
    double gain() const noexcept { return gain_; }
    double offset() const noexcept { return offset_; }
    double preamp_clip() const noexcept { return preamp_clip_; }
    double noise() const noexcept { return noise_; }
    double clip() const noexcept { return clip_; }

    // A stream over the waveform when the pulse shape lies on its grid and
    // streams exactly over it (SparseConvolution::streams_exactly); otherwise
    // nullopt, and nothing is drawn. The stream works in `scratch` when one
    // is lent (it must outlive the stream), else in storage of its own.
    std::optional<ADCStream> stream(const SparseWaveform<double>& pmt_waveform, std::mt19937& rng,
                                    ADCStream::Scratch* scratch = nullptr) const;

    // The sampled shaped values that the stream digitises, before gain and
    // noise: bit for bit those of sample_down on the full convolution. Draws
    // the phase as stream does; nullopt where stream gives none.
    std::optional<SparseWaveform<double>> stream_points(const SparseWaveform<double>& pmt_waveform,
                                                        std::mt19937& rng) const;

  private:
    friend class ADCStream;

    // Gain, offset, clips, the noise and rounding for one sampled value.
    unsigned short count(double v, double gaussian) const;

    double adc_step_;
    SparseConvolution<double> pulse_shape_;
    int jitter_;
    double gain_;
    double offset_;
    double preamp_clip_;
    double noise_;
    double clip_;
    std::int64_t ratio_ = 0; // pulse-shape steps per ADC step
};

// Inline: the stream converts every sampled point with it.
inline unsigned short ADCSim::count(double v, double gaussian) const {
    // Written without branches, so that a block of samples is converted in
    // one straight loop; every step is the comparison it reads as.
    double x = v * gain_ + offset_;
    x = (x < 0.0) ? 0.0 : x;
    x = (preamp_clip_ < x) ? preamp_clip_ : x;
    const double n = gaussian * noise_ + 0.0;
    double y = n + x;
    y = (y < 0.0) ? 0.0 : y;
    y = (clip_ < y) ? clip_ : y;
    // Every y here lies in [0, clip] and fits, except NaN: an amplitude that
    // overflowed upstream (inf - inf in the shaping, inf * 0 in the gain)
    // passes every comparison unchanged and has no integer value. It counts
    // as 0 instead of reaching the conversion.
    y = (y == y) ? y : 0.0;
    // Rounding halves away from zero, as std::round does, for y in [0, 65535]:
    // the whole part is exact, and so is the fraction y - whole.
    const auto whole = static_cast<std::int32_t>(y);
    const std::int32_t counts = whole + ((y - static_cast<double>(whole) >= 0.5) ? 1 : 0);
    return static_cast<unsigned short>(counts);
}

} // namespace velmora
