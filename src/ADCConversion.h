#pragma once

#include "CallTrace.h"
#include "Distributions.h"
#include "Export.h"
#include "MersenneTwister.h"
#include "SparseConvolution.h"

#include <cstdint>
#include <string>

namespace velmora {

// The settings of the ADC stage and the decisions that its plain form (ADCSim)
// and its streaming form (ADCStream) share: where the ADC samples the shaped
// signal (the ratio of the grids and the phase) and how a sampled value
// becomes counts.
class VELMORA_EXPORT ADCConversion {
  public:
    // jitter >= 0 is a fixed sampling phase in PMT grid steps (a phase at or
    // beyond the ADC period matches no point); a negative jitter draws a new
    // random phase on every call. Throws std::invalid_argument when a step is
    // not a finite positive number, when adc_step is shorter than 0.999 pulse
    // shape steps or spans more than 2^31 of them, when clip lies outside
    // [0, 65535], when noise is negative, or when any level is not finite.
    ADCConversion(double adc_step, SparseConvolution<double> pulse_shape, int jitter, double gain, double offset,
                  double preamp_clip, double noise, double clip);

    [[nodiscard]] double adc_step() const noexcept { return adc_step_; }
    [[nodiscard]] const SparseConvolution<double>& pulse_shape() const noexcept { return pulse_shape_; }
    [[nodiscard]] int jitter() const noexcept { return jitter_; }
    [[nodiscard]] double gain() const noexcept { return gain_; }
    [[nodiscard]] double offset() const noexcept { return offset_; }
    [[nodiscard]] double preamp_clip() const noexcept { return preamp_clip_; }
    [[nodiscard]] double noise() const noexcept { return noise_; }
    [[nodiscard]] double clip() const noexcept { return clip_; }

    // Pulse-shape grid steps per ADC step.
    [[nodiscard]] std::int64_t ratio() const noexcept { return ratio_; }

    // Grid steps of `grid_step` per ADC step, by the library's time-to-index
    // rule (4 ns on a 0.1 ns grid gives 40, on a 0.3 ns grid 13). Throws
    // std::invalid_argument, its message starting with `context` and naming
    // the steps as `grid_name`, when that is below 1 or above 2^31.
    [[nodiscard]] std::int64_t ratio_on(double grid_step, const std::string& context,
                                        const std::string& grid_name) const;

    // The sampling phase of one call on a grid of `ratio` steps per ADC step:
    // the fixed jitter, or with a negative jitter one draw from
    // [0, ratio - 1] as a 32-bit int.
    // The ratio and the phase are noted in `trace`, where one is given.
    [[nodiscard]] std::int64_t draw_phase(std::int64_t ratio, MersenneTwister& rng, CallTrace* trace) const {
        const std::int64_t phase = jitter_ >= 0 ? jitter_ : draw::uniform_int(rng, 0, static_cast<int>(ratio - 1));
        if (trace != nullptr) {
            trace->adc_ratio = ratio;
            trace->adc_phase = phase;
        }
        return phase;
    }

    // Gain, offset, the two clips, the noise (a standard variate `gaussian`
    // scaled by noise) and rounding, for one sampled value.
    [[nodiscard]] unsigned short count(double v, double gaussian) const;

    // Whether count(v, gaussian) is cut by a clip: the value before the noise
    // by preamp_clip, or the value after it by clip. The same steps as count,
    // up to the comparisons.
    [[nodiscard]] bool clipped(double v, double gaussian) const;

  private:
    double adc_step_;
    SparseConvolution<double> pulse_shape_;
    int jitter_;
    double gain_;
    double offset_;
    double preamp_clip_;
    double noise_;
    double clip_;
    std::int64_t ratio_ = 0;
};

// Inline: the stream converts every sampled point with it.
inline unsigned short ADCConversion::count(double v, double gaussian) const {
    // Written without branches, so that a block of samples is converted in
    // one straight loop; every step is the comparison it reads as.
    double x = (v * gain_) + offset_;
    x = (x < 0.0) ? 0.0 : x;
    x = (preamp_clip_ < x) ? preamp_clip_ : x;
    // A standard variate times noise plus the mean 0 is exactly what a
    // distribution of standard deviation noise returns, and it stays defined
    // for noise 0, where such a distribution would violate its precondition of
    // a positive deviation.
    const double n = (gaussian * noise_) + 0.0;
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

inline bool ADCConversion::clipped(double v, double gaussian) const {
    double x = (v * gain_) + offset_;
    x = (x < 0.0) ? 0.0 : x;
    const bool before = preamp_clip_ < x;
    x = before ? preamp_clip_ : x;
    const double n = (gaussian * noise_) + 0.0;
    double y = n + x;
    y = (y < 0.0) ? 0.0 : y;
    return before || clip_ < y;
}

} // namespace velmora
