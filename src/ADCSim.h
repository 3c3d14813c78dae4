#pragma once

#include "ADCConversion.h"
#include "ADCStream.h"
#include "Export.h"
#include "Interrupt.h"
#include "MersenneTwister.h"
#include "SparseConvolution.h"
#include "SparseWaveform.h"

#include <optional>
#include <random>

namespace velmora {

// A free-running sampling ADC behind the pre-amplifier and the shaping
// electronics. Shapes a PMT waveform with the electronics pulse shape, keeps
// every ADC-period-th point of the shaped signal at a fixed or random phase and
// digitises each kept value with gain, offset, pre-amplifier clip, Gaussian
// noise and output clip. Every operation that draws takes the library's
// MersenneTwister, or a std::mt19937 whose state it draws through one and
// gives back: the same draws either way. Only sampled points under the pulses are stored: the
// gaps between pulses carry no baseline and draw no noise. Keeps no state
// between calls; all randomness comes from the generator passed in.
class VELMORA_EXPORT ADCSim : public ADCConversion {
  public:
    // The settings and their checks are those of ADCConversion.
    ADCSim(double adc_step, SparseConvolution<double> pulse_shape, int jitter, double gain, double offset,
           double preamp_clip, double noise, double clip);

    // Picks the shaped signal's value at index k * ratio + phase of its own
    // grid (ratio = its steps per ADC step) as ADC sample k, at time
    // k * adc_step. With a negative jitter the phase is drawn first, from
    // [0, ratio - 1], even when the input is empty. Throws
    // std::invalid_argument when the input's step gives no ratio of at least 1.
    // The ratio and phase are noted in `trace`, where one is given.
    SparseWaveform<double> sample_down(const SparseWaveform<double>& shaped, std::mt19937& rng) const;
    SparseWaveform<double> sample_down(const SparseWaveform<double>& shaped, MersenneTwister& rng,
                                       CallTrace* trace = nullptr,
                                       InterruptCheck interrupt = InterruptCheck::installed()) const;

    // ADC counts of one unshaped PMT waveform on the ADC grid: convolve, then
    // sample_down, then one normal draw per sampled entry in index order (also
    // when noise is 0). When the pulse shape lies on the waveform's own grid,
    // only the shaped points that the ADC samples are computed, each from the
    // same contributions added in the same order, so the result and the draws
    // are those of simulate_plain at a fraction of the work.
    SparseWaveform<unsigned short> simulate(const SparseWaveform<double>& pmt_waveform, std::mt19937& rng) const;
    SparseWaveform<unsigned short> simulate(const SparseWaveform<double>& pmt_waveform, MersenneTwister& rng) const;

    // The same, composed step by step: the full convolution on the PMT grid,
    // sample_down, digitise. The reference for simulate. Notes in `trace`
    // (where given) as sample_down and digitise do.
    SparseWaveform<unsigned short> simulate_plain(const SparseWaveform<double>& pmt_waveform, std::mt19937& rng) const;
    SparseWaveform<unsigned short> simulate_plain(const SparseWaveform<double>& pmt_waveform, MersenneTwister& rng,
                                                  CallTrace* trace = nullptr,
                                                  InterruptCheck interrupt = InterruptCheck::installed()) const;

    // Gain, offset, the two clips, one normal draw per entry and rounding,
    // turning sampled shaped values into ADC counts. The entries that a clip
    // cuts are noted in `trace` (adc_clipped), where one is given.
    SparseWaveform<unsigned short> digitise(const SparseWaveform<double>& sampled, std::mt19937& rng) const;
    SparseWaveform<unsigned short> digitise(const SparseWaveform<double>& sampled, MersenneTwister& rng,
                                            CallTrace* trace = nullptr,
                                            InterruptCheck interrupt = InterruptCheck::installed()) const;

    // A stream over the waveform when the pulse shape lies on its grid and
    // streams exactly over it (SparseConvolution::streams_exactly); otherwise
    // nullopt, and nothing is drawn. The stream works in `scratch` when one
    // is lent (it must outlive the stream), else in storage of its own; it
    // notes in `trace` (where given) as sample_down and digitise do.
    std::optional<ADCStream> stream(const SparseWaveform<double>& pmt_waveform, MersenneTwister& rng,
                                    ADCStream::Scratch* scratch = nullptr, CallTrace* trace = nullptr,
                                    InterruptCheck interrupt = InterruptCheck::installed()) const;

    // The sampled shaped values that the stream digitises, before gain and
    // noise: bit for bit those of sample_down on the full convolution. Draws
    // the phase as stream does; nullopt where stream gives none.
    std::optional<SparseWaveform<double>> stream_points(const SparseWaveform<double>& pmt_waveform,
                                                        std::mt19937& rng) const;
    std::optional<SparseWaveform<double>> stream_points(const SparseWaveform<double>& pmt_waveform,
                                                        MersenneTwister& rng) const;
};

} // namespace velmora
