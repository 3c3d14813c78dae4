#include "ToTSim.h"

#include "CallTrace.h"
#include "ToTStream.h"

#include <cstdint>
#include <utility>

namespace velmora {

namespace {

// Notes in a trace the taps that the merge rules added into a later shaped
// entry than their own.
struct NoteMergedTaps {
    std::vector<CallTrace::MergedTap>* merged;
    void operator()(std::int64_t entry, std::size_t tap, std::int64_t index, std::int64_t target) const {
        if (target != index) {
            merged->push_back({.entry = entry, .tap = tap, .target = target});
        }
    }
};

std::vector<std::pair<std::int64_t, std::int64_t>>* spans_of(CallTrace* trace) {
    return trace != nullptr ? &trace->tot_spans : nullptr;
}

} // namespace

ToTSim::ToTSim(double tot_step, SparseConvolution<double> pulse_shape, double threshold, double dead_time, double noise,
               double jitter)
    : ToTSettings(tot_step, std::move(pulse_shape), threshold, dead_time, noise, jitter) {}

std::vector<ToTSim::Hit> ToTSim::discriminate(const SparseWaveform<double>& shaped, std::mt19937& rng) const {
    BorrowedTwister twister(rng);
    return discriminate(shaped, twister.engine());
}

std::vector<ToTSim::Hit> ToTSim::discriminate(const SparseWaveform<double>& shaped, MersenneTwister& rng,
                                              CallTrace* trace, InterruptCheck interrupt) const {
    // Only stored samples are evaluated: a gap in the sparse waveform neither
    // draws noise nor crosses the threshold, so an open hit spans it.
    std::vector<Hit> hits;
    ToTStream discriminator(*this, shaped.time_step(), rng, hits, spans_of(trace));
    std::size_t seen = 0;
    for (const auto& [index, value] : shaped.samples()) {
        interrupt.poll_every(seen++);
        discriminator.feed(index, value);
    }
    discriminator.finish();
    return hits;
}

std::vector<ToTSim::Hit> ToTSim::simulate_plain(const SparseWaveform<double>& waveform, std::mt19937& rng) const {
    BorrowedTwister twister(rng);
    return simulate_plain(waveform, twister.engine());
}

std::vector<ToTSim::Hit> ToTSim::simulate_plain(const SparseWaveform<double>& waveform, MersenneTwister& rng,
                                                CallTrace* trace, InterruptCheck interrupt) const {
    if (trace != nullptr && trace->pes) {
        return discriminate(pulse_shape().convolve(waveform, interrupt, NoteMergedTaps{&trace->tot_merged}), rng, trace,
                            interrupt);
    }
    return discriminate(pulse_shape().convolve(waveform, interrupt), rng, trace, interrupt);
}

std::vector<ToTSim::Hit> ToTSim::simulate(const SparseWaveform<double>& waveform, std::mt19937& rng) const {
    BorrowedTwister twister(rng);
    return simulate(waveform, twister.engine());
}

std::vector<ToTSim::Hit> ToTSim::simulate(const SparseWaveform<double>& waveform, MersenneTwister& rng) const {
    Scratch scratch;
    simulate(waveform, rng, scratch);
    return std::move(scratch.hits);
}

namespace {

// The discriminator fed the shaped samples as the convolution streams them
// out, each tap reported to `report`.
template <typename Report>
void stream_hits(const ToTSim& tot, const SparseWaveform<double>& waveform, MersenneTwister& rng,
                 ToTSim::Scratch& scratch, CallTrace* trace, InterruptCheck interrupt, Report&& report) {
    ToTStream discriminator(tot, waveform.time_step(), rng, scratch.hits, spans_of(trace));
    tot.pulse_shape().stream(
        waveform, [&](std::int64_t index, double value) { discriminator.feed(index, value); }, scratch.shaped,
        interrupt, report);
    discriminator.finish();
}

// The same, noting the moved taps in the trace: a function of its own, so
// that the plain stream's loop is compiled as if it were the only one.
[[gnu::noinline]] void stream_hits_noting(const ToTSim& tot, const SparseWaveform<double>& waveform,
                                          MersenneTwister& rng, ToTSim::Scratch& scratch, CallTrace& trace,
                                          InterruptCheck interrupt) {
    stream_hits(tot, waveform, rng, scratch, &trace, interrupt, NoteMergedTaps{&trace.tot_merged});
}

} // namespace

const std::vector<ToTSim::Hit>& ToTSim::simulate(const SparseWaveform<double>& waveform, MersenneTwister& rng,
                                                 Scratch& scratch, CallTrace* trace, InterruptCheck interrupt) const {
    scratch.hits.clear();
    if (!pulse_shape().streams_exactly(waveform)) {
        scratch.hits = simulate_plain(waveform, rng, trace, interrupt);
    } else if (trace != nullptr && trace->pes) {
        stream_hits_noting(*this, waveform, rng, scratch, *trace, interrupt);
    } else {
        stream_hits(*this, waveform, rng, scratch, trace, interrupt, NoTapReport{});
    }
    return scratch.hits;
}

} // namespace velmora
