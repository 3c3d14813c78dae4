#pragma once

// What one simulate call of a detector model did beyond its records, for a
// caller that asks: the draws of every PE, the ADC's sampling phase, the ADC
// entries that a clip cut, where the time-over-threshold convolution added
// the PEs' taps, the samples at which its discriminator opened and closed
// each hit, and per record where its window or its ADC sample lies. The
// batch engine hands one to each call in its SimulateContext and works out
// from it which PEs made each record and which records saturated.
//
// A trace only observes: a call makes the same draws and the same records
// with a trace or without one. The models pass it down to the stages that
// note into it; a stage given none notes nothing.

#include "SparseConvolution.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace velmora {

struct CallTrace {
    // --- What the caller asks for; kept from call to call.

    // Note the draws of each PE (pe_offsets, pe_amplitudes, pe_indices) and
    // where the time-over-threshold convolution added their taps (tot_merged).
    bool pes = false;

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

    // The time-over-threshold convolution's taps that its merge rules added
    // into a shaped entry after the tap's own index (the index rule's), in
    // the convolution's order: by PMT entry index, then by tap. Every tap
    // not listed added into the shaped entry at its own index.
    struct MergedTap {
        std::int64_t entry;  // the PMT entry's index
        std::size_t tap;     // the tap
        std::int64_t target; // the shaped entry it added into
    };
    std::vector<MergedTap> tot_merged;

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
        tot_merged.clear();
        record_points.clear();
        record_clipped.clear();
    }
};

} // namespace velmora
