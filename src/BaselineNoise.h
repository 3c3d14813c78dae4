#pragma once

// Baseline noise for the samples of a ZozuvUza window that the ADC waveform
// holds no entry for. Unlike a CallTrace this changes records: where a call
// is given one, every such sample reads what the ADC gives for a shaped value
// of 0 (offset plus noise, clipped and rounded) instead of 0, and the
// window's tail is no longer filled with the offset.

#include "Distributions.h"
#include "MersenneTwister.h"

namespace velmora {

struct BaselineNoise {
    // The generator of the standard variates, drawn through gauss record
    // after record, sample after sample; never the model's own generator, so
    // the model's draws stay what they are without the noise.
    MersenneTwister* rng = nullptr;
    draw::PolarNormal gauss;
};

} // namespace velmora
