#include "ToTSettings.h"

#include "Checks.h"

#include <stdexcept>

namespace velmora {

ToTSettings::ToTSettings(double tot_step, SparseConvolution<double> pulse_shape, double threshold, double dead_time,
                         double noise, double jitter)
    : tot_step_(tot_step), pulse_shape_(std::move(pulse_shape)), threshold_(threshold), dead_time_(dead_time),
      noise_(noise), jitter_(jitter) {
    // A pulse shape coarser than the TDC would report edges finer than its own
    // resolution; 1 ppm of slack absorbs steps read back from text files.
    if (pulse_shape_.time_step() > tot_step_ * 1.000001) {
        throw std::invalid_argument("ToTSim: TDC step is smaller than pulse shape time step.");
    }
    // Every reported time is divided by the TDC step before rounding.
    checks::require_positive(tot_step_, "ToTSim: TDC step");
}

} // namespace velmora
