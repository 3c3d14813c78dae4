#include "ToTStream.h"

#include <cmath>
#include <utility>

namespace velmora {

namespace {

// Time of an edge on the TDC grid: nearest multiple of the step, halves away
// from zero.
double to_tdc(double time, double tot_step) {
    return std::round(time / tot_step) * tot_step;
}

} // namespace

double ToTStream::jitter() {
    return (jitter_dist_(*rng_) * jitter_) + 0.0;
}

void ToTStream::close(double t) {
    const double s = start_ + jitter();
    const double e = t + jitter();
    hits_->emplace_back(to_tdc(s, tot_->tot_step()), to_tdc(e, tot_->tot_step()));
    if (spans_ != nullptr) {
        spans_->emplace_back(start_index_, last_index_);
    }
    last_end_ = t;
    open_ = false;
}

void ToTStream::finish() {
    if (open_) {
        const double t_last = static_cast<double>(last_index_) * step_;
        const double e = t_last + (tot_->tot_step() + jitter());
        const double s = start_ + jitter();
        hits_->emplace_back(to_tdc(s, tot_->tot_step()), to_tdc(e, tot_->tot_step()));
        if (spans_ != nullptr) {
            spans_->emplace_back(start_index_, last_index_);
        }
        open_ = false;
    }
}

} // namespace velmora
