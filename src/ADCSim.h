#pragma once

#include "Export.h"
#include "SparseConvolution.h"
#include "SparseWaveform.h"

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

    // The ADC entries of one unshaped PMT waveform, one at a time in
    // increasing index order, each with its normal draw made as it is taken:
    // the same entries and draws as simulate, without holding the shaped or the
    // ADC waveform. The phase is drawn when the stream is made. The waveform
    // and the generator must outlive the stream.
    class Stream {
      public:
        // Entries that a caller takes per fill: enough that the per-block
        // work (the draw pass, an interrupt poll, what the caller does per
        // block) is spread thin, few enough to stay in cache.
        static constexpr std::size_t block_size = 1024;

        // Replaces the content of `block` by the next entries, at most `max`
        // of them; returns how many (0 at the end).
        std::size_t fill(std::vector<SparseWaveform<unsigned short>::Sample>& block, std::size_t max);
        std::size_t size_hint() const;

      private:
        friend class ADCSim;
        Stream(const ADCSim& adc, const std::vector<SparseWaveform<double>::Sample>& in, std::int64_t ratio,
               std::int64_t phase, std::mt19937& rng);
        bool next_point(std::int64_t& k, double& value);

        const ADCSim* adc_;
        const std::vector<SparseWaveform<double>::Sample>* in_;
        std::int64_t taps_;
        std::int64_t ratio_;
        std::int64_t phase_;
        std::mt19937* rng_;
        std::normal_distribution<double> gauss_{0.0, 1.0};
        std::size_t next_first_ = 0;
        std::size_t stretch_last_ = 0;
        std::size_t lo_ = 0;
        std::size_t hi_ = 0;
        std::int64_t p_ = 0; // the next sampled point on the PMT grid
        std::int64_t k_ = 0; // its ADC index
        std::int64_t end_ = -1;
        std::vector<SparseWaveform<double>::Sample> points_; // scratch of fill
        std::vector<double> gaussians_;                      // scratch of fill
    };

    // A stream over the waveform when the pulse shape lies on its grid and
    // its indices are small enough for every tap to land exactly; otherwise
    // nullopt, and nothing is drawn.
    std::optional<Stream> stream(const SparseWaveform<double>& pmt_waveform, std::mt19937& rng) const;

    // The sampled shaped values that the stream digitises, before gain and
    // noise: bit for bit those of sample_down on the full convolution. Draws
    // the phase as stream does; nullopt where stream gives none.
    std::optional<SparseWaveform<double>> stream_points(const SparseWaveform<double>& pmt_waveform,
                                                        std::mt19937& rng) const;

  private:
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

} // namespace velmora
