#pragma once

// What one simulate call of a detector model did beyond its records, for a
// caller that asks: the draws of every PE, the ADC's sampling phase, the ADC
// entries that a clip cut, the samples at which the time-over-threshold
// discriminator opened and closed each hit, and per record where its window
// or its ADC sample lies. The batch engine installs a CallTraceScope on its
// thread around each call and works out from the trace which PEs made each
// record and which records saturated.
//
// Noting is never drawing: a call makes the same draws and the same records
// with a trace installed or not. The models and stages look at the thread's
// trace once per call (the ADC stream once per block of entries) and note
// nothing when none is installed.

#include "Distributions.h"
#include "MersenneTwister.h"
#include "SparseConvolution.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace velmora {

struct CallTrace {
    // --- What the caller asks for; kept from call to call.

    // Note the draws of each PE (pe_offsets, pe_amplitudes, pe_indices).
    bool pes = false;
    // Where set, ZozuvUza fills every window sample that the ADC waveform
    // holds no entry for with what the ADC gives for a shaped value of 0
    // (offset plus noise, clipped and rounded), drawing its standard
    // variates from this generator through baseline_gauss, record after
    // record, sample after sample; the window's tail is then not filled with
    // the offset.
    MersenneTwister* baseline_rng = nullptr;
    draw::PolarNormal baseline_gauss;

    // --- What the call noted; clear() empties it before each call.

    // Per PE, in input order: the drawn time offset (s), the drawn amplitude,
    // and the PMT grid index at which the amplitude was added.
    std::vector<double> pe_offsets;
    std::vector<double> pe_amplitudes;
    std::vector<std::int64_t> pe_indices;

    // The ADC stage: PMT grid steps per ADC step, the sampling phase of the
    // call (ADC sample k holds the shaped signal at PMT index
    // k * adc_ratio + adc_phase) and the indices, increasing, of the ADC
    // entries whose value the pre-amplifier clip cut before the noise or the
    // output clip cut after it.
    std::int64_t adc_ratio = 0;
    std::int64_t adc_phase = 0;
    std::vector<std::int64_t> adc_clipped;

    // The pulse shapes the call used and the PMT grid step: the ADC pulse
    // shape (both models) and the time-over-threshold pulse shape (MultiPMT).
    const SparseConvolution<double>* adc_shape = nullptr;
    const SparseConvolution<double>* tot_shape = nullptr;
    double pmt_step = 0.0;

    // The time-over-threshold stage, per hit in the order of the hits: the
    // shaped-grid (PMT grid) indices of the sample that opened it and of the
    // sample that closed it (for a hit still open at the end, the last
    // stored sample).
    std::vector<std::pair<std::int64_t, std::int64_t>> tot_spans;

    // Per record, in record order. ZozuvUza: the ADC index of the window's
    // first sample; MultiPMT: the ADC index at which the record's sample is
    // read.
    std::vector<std::int64_t> record_points;
    // Per record: ZozuvUza, the window's samples that a clip cut (filled
    // samples included); MultiPMT, 1 when a clip cut the record's sample.
    std::vector<std::uint16_t> record_clipped;

    void clear() {
        pe_offsets.clear();
        pe_amplitudes.clear();
        pe_indices.clear();
        adc_ratio = 0;
        adc_phase = 0;
        adc_clipped.clear();
        adc_shape = nullptr;
        tot_shape = nullptr;
        pmt_step = 0.0;
        tot_spans.clear();
        record_points.clear();
        record_clipped.clear();
    }
};

// The trace of the calls on this thread, or none.
inline thread_local CallTrace* call_trace = nullptr;

// Installs `trace` for the calls on this thread while it lives; the trace
// installed before comes back when it ends, so scopes nest.
class CallTraceScope {
  public:
    explicit CallTraceScope(CallTrace& trace) : previous_(call_trace) { call_trace = &trace; }
    ~CallTraceScope() { call_trace = previous_; }
    CallTraceScope(const CallTraceScope&) = delete;
    CallTraceScope& operator=(const CallTraceScope&) = delete;
    CallTraceScope(CallTraceScope&&) = delete;
    CallTraceScope& operator=(CallTraceScope&&) = delete;

  private:
    CallTrace* previous_;
};

} // namespace velmora
