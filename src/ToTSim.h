#pragma once

#include "Export.h"
#include "Interrupt.h"
#include "MersenneTwister.h"
#include "SparseConvolution.h"
#include "SparseWaveform.h"
#include "ToTSettings.h"

#include <random>
#include <vector>

namespace velmora {

struct CallTrace; // what a call did beyond its records, in CallTrace.h

// Time-over-threshold discriminator with a TDC. Shapes a PMT waveform with the
// ToT pulse shape, compares every stored sample plus Gaussian noise with the
// threshold, and reports each pulse above threshold as a (start, end) hit on
// the TDC grid, each edge smeared by Gaussian timing jitter. The dead time is
// both the minimum length of a hit and the minimum gap after one. Keeps no
// state between calls; all randomness comes from the generator passed in: the
// library's MersenneTwister, or a std::mt19937 whose state it draws through
// one and gives back, with the same draws either way.
class VELMORA_EXPORT ToTSim : public ToTSettings {
  public:
    // The settings and their checks are those of ToTSettings.
    ToTSim(double tot_step, SparseConvolution<double> pulse_shape, double threshold, double dead_time, double noise,
           double jitter);

    // Hits of one unshaped PMT waveform, in the order in which they close.
    // Draws one noise value per stored shaped sample and two jitter values per
    // hit. The shaped samples are handed to the discriminator as soon as no
    // later PMT entry can reach them, so the shaped waveform is never held
    // whole; results and draws are those of simulate_plain.
    std::vector<Hit> simulate(const SparseWaveform<double>& waveform, std::mt19937& rng) const;
    std::vector<Hit> simulate(const SparseWaveform<double>& waveform, MersenneTwister& rng) const;

    // The storage that simulate works in. A caller that simulates call after
    // call may keep one, and then allocates nothing for the stage once it has
    // held as much.
    struct Scratch {
        std::vector<SparseWaveform<double>::Sample> shaped; // of the streaming convolution
        std::vector<Hit> hits;
    };

    // The same, in `scratch`: the hits are scratch.hits. Where `trace` is
    // given, the hits' opening and closing samples are noted there
    // (tot_spans), and with trace->pes the taps that the convolution's merge
    // rules moved (tot_merged). Polls `interrupt` in its long loops.
    const std::vector<Hit>& simulate(const SparseWaveform<double>& waveform, MersenneTwister& rng, Scratch& scratch,
                                     CallTrace* trace = nullptr,
                                     InterruptCheck interrupt = InterruptCheck::installed()) const;

    // The same, composed step by step: the full convolution, then discriminate.
    // The reference for simulate.
    std::vector<Hit> simulate_plain(const SparseWaveform<double>& waveform, std::mt19937& rng) const;
    std::vector<Hit> simulate_plain(const SparseWaveform<double>& waveform, MersenneTwister& rng,
                                    CallTrace* trace = nullptr,
                                    InterruptCheck interrupt = InterruptCheck::installed()) const;

    // The discriminator and TDC alone, on an already shaped waveform.
    std::vector<Hit> discriminate(const SparseWaveform<double>& shaped, std::mt19937& rng) const;
    std::vector<Hit> discriminate(const SparseWaveform<double>& shaped, MersenneTwister& rng,
                                  CallTrace* trace = nullptr,
                                  InterruptCheck interrupt = InterruptCheck::installed()) const;
};

} // namespace velmora
