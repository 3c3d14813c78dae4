#pragma once

#include "ADCConversion.h"
#include "Distributions.h"
#include "Export.h"
#include "Interrupt.h"
#include "MersenneTwister.h"
#include "SparseWaveform.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

// The ADC entries of one unshaped PMT waveform, one block at a time in
// increasing index order, each with its normal draw made as it is taken: the
// same entries and draws as ADCSim::simulate_plain, without holding the shaped
// or the ADC waveform. ADCSim::stream makes one where the pulse shape streams
// exactly over the waveform, after the phase draw. The ADC settings, the
// waveform and the generator must outlive the stream.
class VELMORA_EXPORT ADCStream {
  public:
    using Entry = SparseWaveform<unsigned short>::Sample;

    // Entries that a caller takes per fill: enough that the per-block work
    // (the draw pass, an interrupt poll, what the caller does per block) is
    // spread thin, few enough to stay in cache.
    static constexpr std::size_t block_size = 1024;

    // Replaces the content of `block` by the next entries, at most `max` of
    // them; returns how many (0 at the end).
    std::size_t fill(std::vector<Entry>& block, std::size_t max);

    // A capacity for the whole output: the entries, bounded so that a long
    // input does not reserve more than it is likely to use.
    std::size_t size_hint() const;

    // The storage that fill works in. A caller that streams call after call
    // may keep one and lend it to every stream (ADCSim::stream), which then
    // allocates nothing once it has held a block.
    struct Scratch {
        std::vector<SparseWaveform<double>::Sample> points;
        std::vector<double> gaussians;
    };

    // A stream over the entries `in` of a waveform, sampled at `phase`. The
    // waveform lies on the pulse shape's own grid and the pulse shape streams
    // exactly over it: ADCSim::stream makes sure of both before it makes one.
    // It works in `scratch` when one is lent (it must outlive the stream),
    // else in storage of its own. Where `trace` is given, the entries that a
    // clip cuts are noted there (adc_clipped); every fill polls `interrupt`.
    ADCStream(const ADCConversion& adc, const std::vector<SparseWaveform<double>::Sample>& in, std::int64_t phase,
              MersenneTwister& rng, Scratch* scratch = nullptr, CallTrace* trace = nullptr,
              InterruptCheck interrupt = InterruptCheck::installed());

    // Writes the next sampled shaped values before digitising, (ADC index,
    // value), at most `max` of them, to the front of `points`; returns how
    // many (0 at the end). Draws nothing: a stream is read either with fill
    // or with points_into, not both. `points` only grows, to `max`: what lies
    // after the returned count is left over from earlier blocks, and a short
    // block costs no refill of the room that it does not use.
    std::size_t points_into(std::vector<SparseWaveform<double>::Sample>& points, std::size_t max);

  private:
    // Moves on to the next stretch of entries whose tap ranges overlap or
    // touch: its first point p, that point's ADC index k and the range
    // [lo, hi) of entries that reach it; false when none is left.
    bool next_stretch(std::int64_t& p, std::int64_t& k, std::size_t& lo, std::size_t& hi);

    const ADCConversion* adc_;
    const std::vector<SparseWaveform<double>::Sample>* in_;
    std::int64_t taps_;
    std::int64_t ratio_;
    std::int64_t phase_;
    MersenneTwister* rng_;
    draw::PolarNormal gauss_;
    std::size_t next_first_ = 0;
    std::size_t stretch_last_ = 0;
    std::size_t lo_ = 0;
    std::size_t hi_ = 0;
    std::int64_t p_ = 0; // the next sampled point on the PMT grid
    std::int64_t k_ = 0; // its ADC index
    std::int64_t end_ = -1;
    Scratch own_;   // the stream's own storage, unless
    Scratch* lent_; // a caller lent it some
    CallTrace* trace_;
    InterruptCheck interrupt_;
};

} // namespace velmora
