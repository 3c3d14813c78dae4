#pragma once

#include "Distributions.h"
#include "Export.h"
#include "MersenneTwister.h"
#include "ToTSettings.h"

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace velmora {

// The discriminator and TDC of the ToT stage: shaped samples fed one at a time
// in increasing index order, each compared with the threshold after its noise
// draw; a pulse above threshold becomes a hit with jittered, TDC-rounded
// edges. ToTSim::discriminate feeds it a whole shaped waveform, ToTSim::simulate
// the shaped samples as the convolution streams them out.
class VELMORA_EXPORT ToTStream {
  public:
    // `step` is the time step of the shaped samples' grid; hits are appended
    // to `hits`, and where `spans` is given, the indices of the samples that
    // open and close each hit to it (CallTrace::tot_spans). The settings, the
    // generator, `hits` and `spans` must outlive the stream.
    ToTStream(const ToTSettings& tot, double step, MersenneTwister& rng, std::vector<ToTSettings::Hit>& hits,
              std::vector<std::pair<std::int64_t, std::int64_t>>* spans = nullptr)
        : tot_(&tot), step_(step), noise_(tot.noise()), jitter_(tot.jitter()), rng_(&rng), hits_(&hits), spans_(spans) {
    }

    void feed(std::int64_t index, double value) {
        const double t = static_cast<double>(index) * step_;
        last_index_ = index;
        const double n = (noise_dist_(*rng_) * noise_) + 0.0;
        if (value + n >= tot_->threshold()) {
            if (!open_ && t > last_end_ + tot_->dead_time()) {
                open_ = true;
                start_ = t;
                start_index_ = index;
            }
        } else if (open_ && t > start_ + tot_->dead_time()) {
            close(t); // below threshold, or NaN: the trailing edge
        }
    }

    // The stream has ended: the hits are complete, in the order in which
    // they closed. A pulse still above threshold at the last sample ends one
    // TDC step after it; the end's jitter is drawn first there.
    void finish();

  private:
    void close(double t);
    double jitter(); // one jitter draw, in seconds

    const ToTSettings* tot_;
    double step_;
    double noise_;
    double jitter_;
    MersenneTwister* rng_;
    // Standard variates, scaled by the noise and the jitter where they are
    // used: a standard variate times sigma plus the mean 0 is exactly what a
    // distribution of deviation sigma returns, and it stays defined for a
    // deviation of 0, which such a distribution does not allow. Separate
    // objects: each caches the second value of a generated pair for itself,
    // and both caches are dropped with the stream.
    draw::PolarNormal noise_dist_;
    draw::PolarNormal jitter_dist_;
    std::vector<ToTSettings::Hit>* hits_;
    // Where the samples that open and close each hit are noted, or none.
    std::vector<std::pair<std::int64_t, std::int64_t>>* spans_;
    bool open_ = false;
    double start_ = 0.0;
    std::int64_t start_index_ = 0;
    double last_end_ = -std::numeric_limits<double>::infinity();
    std::int64_t last_index_ = 0;
};

} // namespace velmora
