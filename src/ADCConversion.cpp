#include "ADCConversion.h"

#include "Checks.h"
#include "SparseWaveform.h"

#include <stdexcept>
#include <utility>

namespace velmora {

namespace {

// The random phase is drawn from [0, ratio - 1] as a 32-bit int.
constexpr std::int64_t max_ratio = std::int64_t{1} << 31;

} // namespace

ADCConversion::ADCConversion(double adc_step, SparseConvolution<double> pulse_shape, int jitter, double gain,
                             double offset, double preamp_clip, double noise, double clip)
    : adc_step_(adc_step), pulse_shape_(std::move(pulse_shape)), jitter_(jitter), gain_(gain), offset_(offset),
      preamp_clip_(preamp_clip), noise_(noise), clip_(clip) {
    checks::require_positive(adc_step_, "ADCSim: adc_step");
    checks::require_positive(pulse_shape_.time_step(), "ADCSim: pulse_shape time_step");
    ratio_ = ratio_on(pulse_shape_.time_step(), "ADCSim", "pulse_shape time steps");
    checks::require_finite(gain_, "ADCSim: gain");
    checks::require_finite(offset_, "ADCSim: offset");
    checks::require_finite(preamp_clip_, "ADCSim: preamp_clip");
    // A standard deviation; also keeps every noise value finite.
    checks::require_deviation(noise_, "ADCSim: noise");
    // Counts lie in [0, clip], which must fit the unsigned 16-bit sample; a
    // negative clip would wrap into large counts.
    if (!(clip_ >= 0.0 && clip_ <= 65535.0)) {
        checks::reject("ADCSim: clip", "lie in [0, 65535]");
    }
}

std::int64_t ADCConversion::ratio_on(double grid_step, const std::string& context, const std::string& grid_name) const {
    // Both steps are finite and positive here, so the only quotient without
    // an index is one too large.
    std::int64_t ratio = max_ratio + 1;
    try {
        ratio = time_to_index(adc_step_, grid_step);
    } catch (const std::domain_error&) {
        // Beyond the 64-bit range: reported as too large below.
    }
    if (ratio < 1) {
        checks::reject(context + ": adc_step", "be at least 0.999 " + grid_name);
    }
    if (ratio > max_ratio) {
        checks::reject(context + ": adc_step", "not span more than 2^31 " + grid_name);
    }
    return ratio;
}

} // namespace velmora
