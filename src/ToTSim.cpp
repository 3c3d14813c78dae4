#include "ToTSim.h"

#include "Interrupt.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace velmora {

ToTSim::ToTSim(double tot_step, SparseConvolution<double> pulse_shape, double threshold, double dead_time, double noise,
               double jitter)
    : tot_step_(tot_step), pulse_shape_(std::move(pulse_shape)), threshold_(threshold), dead_time_(dead_time),
      noise_(noise), jitter_(jitter) {
    // A pulse shape coarser than the TDC would report edges finer than its own
    // resolution; 1 ppm of slack absorbs steps read back from text files.
    if (pulse_shape_.time_step() > tot_step_ * 1.000001) {
        throw std::invalid_argument("ToTSim: TDC step is smaller than pulse shape time step.");
    }
    // Every reported time is divided by the TDC step before rounding.
    if (!(std::isfinite(tot_step_) && tot_step_ > 0.0)) {
        throw std::invalid_argument("ToTSim: TDC step must be a finite number greater than zero.");
    }
}

namespace {

// Time of an edge on the TDC grid: nearest multiple of the step, halves away
// from zero.
double to_tdc(double time, double tot_step) {
    return std::round(time / tot_step) * tot_step;
}

// Offsets from an input index a to the output index of each kernel tap, so
// that the index rule need not divide for every tap. For |a| below 2^40 and
// taps reaching less than 2^20 input steps, the index rule's quotient differs
// from its exact value a + x + 0.001 (x = i * kernel_step / step; minus 0.001
// for negative times) by less than 5e-4; where the fractional part of
// x +- 0.001 keeps 7e-4 away from the integers, the truncated index is
// therefore a plus a fixed offset. Taps closer to an integer are left to the
// index rule.
struct TapOffsets {
    static constexpr std::int64_t unknown = std::numeric_limits<std::int64_t>::min();

    TapOffsets(std::size_t taps, double kernel_step, double step) : positive(taps, unknown), negative(taps, unknown) {
        constexpr long double margin = 7e-4L;
        const long double ratio = static_cast<long double>(kernel_step) / static_cast<long double>(step);
        for (std::size_t i = 0; i < taps; ++i) {
            const long double x = static_cast<long double>(i) * ratio;
            if (!(x < 1048576.0L)) {
                break;
            }
            const long double up = x + 0.001L;
            const long double up_floor = std::floor(up);
            if (up - up_floor >= margin && up - up_floor <= 1.0L - margin) {
                positive[i] = static_cast<std::int64_t>(up_floor);
            }
            const long double down = x - 0.001L;
            const long double down_ceil = std::ceil(down);
            if (down_ceil - down >= margin && down_ceil - down <= 1.0L - margin) {
                negative[i] = static_cast<std::int64_t>(down_ceil);
            }
        }
        complete = std::none_of(positive.begin(), positive.end(), [](std::int64_t d) { return d == unknown; }) &&
                   std::none_of(negative.begin(), negative.end(), [](std::int64_t d) { return d == unknown; });
        // Entries at or below this index have every tap at a negative time.
        const long double reach = static_cast<long double>(taps == 0 ? 0 : taps - 1) * ratio;
        all_negative_below = reach < 1048576.0L ? -static_cast<std::int64_t>(std::ceil(reach)) - 1 : unknown;
    }

    bool complete = false;              // every tap has an offset on both sides
    std::vector<std::int64_t> positive; // offsets for a >= 0
    std::vector<std::int64_t> negative; // offsets for a <= all_negative_below
    std::int64_t all_negative_below = unknown;
};

} // namespace

// The discriminator walk over shaped samples fed in increasing index order.
class ToTSim::Walk {
  public:
    Walk(const ToTSim& tot, double step, std::mt19937& rng)
        : tot_(tot), step_(step), rng_(rng), noise_dist_(0.0, tot.noise_), jitter_dist_(0.0, tot.jitter_) {}

    void feed(std::int64_t index, double value) {
        const double t = static_cast<double>(index) * step_;
        last_index_ = index;
        const double n = noise_dist_(rng_);
        if (value + n >= tot_.threshold_) {
            if (!open_ && t > last_end_ + tot_.dead_time_) {
                open_ = true;
                start_ = t;
            }
        } else if (open_ && t > start_ + tot_.dead_time_) {
            // Below threshold, or NaN: the trailing edge.
            const double s = start_ + jitter_dist_(rng_);
            const double e = t + jitter_dist_(rng_);
            hits_.emplace_back(to_tdc(s, tot_.tot_step_), to_tdc(e, tot_.tot_step_));
            last_end_ = t;
            open_ = false;
        }
    }

    // A pulse still above threshold at the last stored sample ends one TDC
    // step after it. The end's jitter is drawn first here.
    std::vector<Hit> finish() {
        if (open_) {
            const double t_last = static_cast<double>(last_index_) * step_;
            const double e = t_last + (tot_.tot_step_ + jitter_dist_(rng_));
            const double s = start_ + jitter_dist_(rng_);
            hits_.emplace_back(to_tdc(s, tot_.tot_step_), to_tdc(e, tot_.tot_step_));
            open_ = false;
        }
        return std::move(hits_);
    }

  private:
    const ToTSim& tot_;
    double step_;
    std::mt19937& rng_;
    // Separate objects: each caches the second value of a generated pair for
    // itself, and both caches are dropped with the call.
    std::normal_distribution<double> noise_dist_;
    std::normal_distribution<double> jitter_dist_;
    std::vector<Hit> hits_;
    bool open_ = false;
    double start_ = 0.0;
    double last_end_ = -std::numeric_limits<double>::infinity();
    std::int64_t last_index_ = 0;
};

std::vector<ToTSim::Hit> ToTSim::discriminate(const SparseWaveform<double>& shaped, std::mt19937& rng) const {
    // Only stored samples are evaluated: a gap in the sparse waveform neither
    // draws noise nor crosses the threshold, so an open hit spans it.
    Walk walk(*this, shaped.time_step(), rng);
    std::size_t seen = 0;
    for (const auto& [index, value] : shaped.samples()) {
        poll_interrupt_every(seen++);
        walk.feed(index, value);
    }
    return walk.finish();
}

std::vector<ToTSim::Hit> ToTSim::simulate_plain(const SparseWaveform<double>& waveform, std::mt19937& rng) const {
    return discriminate(pulse_shape_.convolve(waveform), rng);
}

namespace {
// Shaped samples already handed to the discriminator before the buffer is
// compacted: compacting moves the rest, so it waits until the handed-on part
// is both this large and the larger half.
constexpr std::size_t min_compaction = 4096;
} // namespace

std::vector<ToTSim::Hit> ToTSim::simulate(const SparseWaveform<double>& waveform, std::mt19937& rng) const {
    const auto& in = waveform.samples();
    const auto& kernel = pulse_shape_.kernel();
    const double step = waveform.time_step();
    const double kernel_step = pulse_shape_.time_step();
    // The streaming below relies on tap 0 of the entry at index a landing on a
    // itself (later taps then land at or after it), which the index rule
    // guarantees for |a| below 2^40; beyond, the plain path serves.
    constexpr std::int64_t exact_limit = std::int64_t{1} << 40;
    if (!(kernel_step > 0.0) || !(step > 0.0) ||
        (!in.empty() && std::max(std::abs(in.front().first), std::abs(in.back().first)) > exact_limit)) {
        return simulate_plain(waveform, rng);
    }
    Walk walk(*this, step, rng);
    if (kernel.empty() || in.empty()) {
        return walk.finish();
    }
    // Working out the offsets costs about as much as placing every tap of a
    // few entries by the index rule; a few entries go without them.
    const TapOffsets taps(in.size() >= 16 ? kernel.size() : 0, kernel_step, step);

    // The convolution's own merge rules (see SparseConvolution::convolve), on
    // a window of the output: an input entry at index a only ever adds to
    // output entries at or after a, so everything before a is final and goes
    // to the discriminator before a is spread.
    std::vector<SparseWaveform<double>::Sample> acc;
    std::size_t head = 0;
    std::size_t seen = 0;
    for (const auto& [a, v] : in) {
        poll_interrupt_every(seen++);
        while (head < acc.size() && acc[head].first < a) {
            walk.feed(acc[head].first, acc[head].second);
            ++head;
        }
        if (head > min_compaction && head * 2 > acc.size()) {
            acc.erase(acc.begin(), acc.begin() + static_cast<std::ptrdiff_t>(head));
            head = 0;
        }
        const double t0 = static_cast<double>(a) * step;
        // Where each tap lands: from the precomputed offsets when the entry's
        // side of zero allows, else by the index rule itself.
        const std::vector<std::int64_t>* offsets = nullptr;
        if (taps.positive.size() != kernel.size()) {
            // No offsets worked out: every tap by the index rule.
        } else if (a >= 0) {
            offsets = &taps.positive;
        } else if (a <= taps.all_negative_below) {
            offsets = &taps.negative;
        }
        // Merge mode: add into the output entries that exist at or after
        // each tap's index, the cursor starting at the first one at or after
        // a; from the tap that runs past the last entry on, append.
        std::size_t i = 0;
        auto* cursor = acc.data() + head;
        auto* const end = acc.data() + acc.size();
        if (offsets != nullptr && taps.complete) {
            for (; i < kernel.size() && cursor != end; ++i) {
                const std::int64_t e = a + (*offsets)[i];
                while (cursor != end && cursor->first < e) {
                    ++cursor;
                }
                if (cursor == end) {
                    break;
                }
                cursor->second = v * kernel[i] + cursor->second;
            }
        }
        bool merging = cursor != end;
        for (; i < kernel.size(); ++i) {
            const std::int64_t e = offsets != nullptr && (*offsets)[i] != TapOffsets::unknown
                                       ? a + (*offsets)[i]
                                       : time_to_index(static_cast<double>(i) * kernel_step + t0, step);
            const double c = v * kernel[i];
            if (merging) {
                while (cursor != end && cursor->first < e) {
                    ++cursor;
                }
                if (cursor != end) {
                    cursor->second = c + cursor->second;
                    continue;
                }
                merging = false; // cursor and end are not used again: appending may move the entries
            }
            if (acc.size() > head && acc.back().first == e) {
                acc.back().second = c + acc.back().second;
            } else {
                acc.emplace_back(e, c); // appends only after the cursor has left the entries
            }
        }
    }
    for (; head < acc.size(); ++head) {
        walk.feed(acc[head].first, acc[head].second);
    }
    return walk.finish();
}

} // namespace velmora
