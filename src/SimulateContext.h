#pragma once

// What a caller hands to one simulate call of a detector model beside its PE
// times and channel: where to note what the call did, what to fill missing
// window samples with, where to count the early windows that it drops, and
// what to poll to abandon it. The models pass each part down to the stages
// that need it; nothing reaches them any other way.

#include "Interrupt.h"

namespace velmora {

struct CallTrace;     // what a call did beyond its records, in CallTrace.h
struct BaselineNoise; // noise for window samples without an ADC entry, in BaselineNoise.h
struct EarlyWindows;  // the windows that WARN dropped, in ZozuvUza.h

struct SimulateContext {
    // Observes: where given, the call notes what it did there. The same
    // draws and the same records with or without it.
    CallTrace* trace = nullptr;

    // Changes records: where given, ZozuvUza fills every window sample that
    // the ADC waveform holds no entry for with baseline noise drawn from it
    // (BaselineNoise). MultiPMT has no windows and ignores it.
    BaselineNoise* baseline = nullptr;

    // Where given, ZozuvUza counts the windows that the early-window policy
    // WARN drops here instead of writing a warning line per window to
    // standard error; records and draws are the same either way.
    EarlyWindows* early_windows = nullptr;

    // What the call's long loops poll. By default the check installed for the
    // thread that makes the context (the velmora module's Ctrl-C), if any.
    InterruptCheck interrupt = InterruptCheck::installed();
};

} // namespace velmora
