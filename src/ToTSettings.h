#pragma once

#include "Export.h"
#include "SparseConvolution.h"

#include <utility>

namespace velmora {

// The settings of the time-over-threshold stage, shared by its plain form
// (ToTSim) and its streaming form (ToTStream).
class VELMORA_EXPORT ToTSettings {
  public:
    using Hit = std::pair<double, double>; // start, end in seconds

    // Throws std::invalid_argument when the pulse shape is sampled more
    // coarsely than the TDC step, or when tot_step is not a finite positive
    // number.
    ToTSettings(double tot_step, SparseConvolution<double> pulse_shape, double threshold, double dead_time,
                double noise, double jitter);

    [[nodiscard]] double tot_step() const noexcept { return tot_step_; }
    [[nodiscard]] const SparseConvolution<double>& pulse_shape() const noexcept { return pulse_shape_; }
    [[nodiscard]] double threshold() const noexcept { return threshold_; }
    [[nodiscard]] double dead_time() const noexcept { return dead_time_; }
    [[nodiscard]] double noise() const noexcept { return noise_; }
    [[nodiscard]] double jitter() const noexcept { return jitter_; }

  private:
    double tot_step_;
    SparseConvolution<double> pulse_shape_;
    double threshold_;
    double dead_time_;
    double noise_;
    double jitter_;
};

} // namespace velmora
