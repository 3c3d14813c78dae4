#pragma once

// The run engine of velmora_batch: simulates channels of one detector model
// and keeps their records as columns (one vector per field) instead of record
// objects. Each piece of work is the PEs of one channel, or of one segment of
// a channel, simulated from the segment's own time origin; the records' times
// are moved back by that origin.

#include "BaselineNoise.h"
#include "CallTrace.h"
#include "MultiPMT.h"
#include "ZozuvUza.h"
#include "records/Triggers.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <random>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora {

// Which PEs made each record (see ChannelEngine for the rule), one entry per
// record, and the links: one row per (record, PE) pair, ordered by record and
// then by PE.
struct TruthColumns {
    std::vector<std::uint32_t> n_pe;   // PEs counted in the record: their largest fraction lies in it
    std::vector<double> true_charge;   // the sum of fraction x drawn amplitude over its links, in PE order
    std::vector<double> first_pe_time; // the earliest drawn arrival (s, run's time) of the PEs counted; NaN without
    std::vector<std::uint32_t> n_dark; // of the PEs counted, dark noise (kind 1)
    std::vector<std::uint32_t> n_afterpulse; // of the PEs counted, afterpulses (kind 2)
    std::vector<std::uint32_t> n_pe_any;     // every PE whose pulse reaches the record (its links)
    std::vector<std::int64_t> link_record;   // the record's row in the columns
    std::vector<std::int64_t> link_pe;       // the PE's index in the block's times
    std::vector<double> link_time;           // its drawn arrival: origin + (PE time + drawn offset), s
    std::vector<double> link_amplitude;      // its drawn amplitude
    std::vector<double> link_fraction;       // the share of its shaped pulse that falls inside the record
};

// ZozuvUza records as columns. waveform holds waveform_samples samples per
// row, row after row.
//
// Window starts. A window's first sample lies on the ADC grid: adc_index
// counts it in whole ADC steps from the run's time origin (a piece's first
// ADC index plus its origin in ADC steps), exactly however late the window.
// time_ns is that start, adc_index x adc_step, in whole nanoseconds: exact
// where the ADC step is a whole number of femtoseconds (computed in integers,
// rounded to the nearest nanosecond, halves toward the later one), else
// the nearest nanosecond of the product in extended precision. The time
// stamps trigger_time_s and trigger_time_ticks are the model's own, carried
// over in whole ticks; their rule truncates a start computed in double
// precision, so a stamp may lie one tick below the exact start.
struct ZozuvUzaColumns {
    std::size_t waveform_samples = 0;
    double adc_step = 0.0; // seconds
    std::vector<std::int32_t> channel;
    std::vector<std::int64_t> time_ns;   // adc_index x adc_step in whole ns
    std::vector<std::int64_t> adc_index; // the window's first sample in ADC steps from the run's time origin
    std::vector<std::uint32_t> trigger_time_s;
    std::vector<std::uint32_t> trigger_time_ticks;
    std::vector<float> baseline;
    std::vector<float> intsum;
    std::vector<std::uint16_t> waveform;
    std::vector<std::uint16_t> n_saturated; // with saturation: the window's samples that a clip cut
    TruthColumns truth;                     // with truth

    std::size_t rows() const { return channel.size(); }
    // Appends records whose times count from `origin_ticks` 4 ns ticks after
    // the run's time origin; the time stamps are carried over in whole ticks.
    // `first_indices` holds each record's first ADC index within its piece,
    // whose origin lies `origin_steps` ADC steps after the run's.
    void append(const std::vector<ostrelin::ZozuvUzaTrigger>& records, std::uint64_t origin_ticks,
                std::int64_t origin_steps, const std::vector<std::int64_t>& first_indices);
};

// MultiPMT records as columns.
struct MultiPMTColumns {
    double tdc_step = 0.0; // the TDC step (tot_step) that tdc_count counts, seconds
    std::vector<double> time;
    std::vector<std::int32_t> channel;
    std::vector<double> time_over_threshold;
    std::vector<std::uint16_t> adc_sample;
    std::vector<std::int64_t> tdc_count;     // time in whole TDC steps, exact however far from the run's origin
    std::vector<std::uint8_t> adc_saturated; // with saturation: 1 where a clip cut the ADC sample
    TruthColumns truth;                      // with truth

    std::size_t rows() const { return channel.size(); }
    // Appends records whose times count from `origin` seconds, which is
    // `origin_steps` whole TDC steps: a hit's start lies on the TDC grid of
    // its piece, so its count is its piece's count plus origin_steps.
    void append(const std::vector<ostrelin::MultiPMTTrigger>& records, double origin, std::uint64_t origin_steps);
};

// A column of the engine's output, as the record files write it: its name,
// the vector that holds it, its unit and meaning. `shape`: the parameter that
// gives its number of values per record (held row after row), else one.
// Bytes (std::uint8_t) hold a bool. `saturation`: only with saturation
// (RunExtras). `added`: it came after the first record files were written,
// which end before it.
template <typename Columns, typename T>
struct Column {
    using type = T;
    const char* name;
    std::vector<T> Columns::* member;
    const char* unit = "";
    const char* meaning = "";
    const char* shape = nullptr;
    bool saturation = false;
    bool added = false;
};

// The type of a column's values as numpy names it.
template <typename T>
constexpr const char* dtype_name() {
    if constexpr (std::is_same_v<T, std::int32_t>) {
        return "int32";
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return "int64";
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        return "uint32";
    } else if constexpr (std::is_same_v<T, std::uint16_t>) {
        return "uint16";
    } else if constexpr (std::is_same_v<T, std::uint8_t>) {
        return "bool";
    } else if constexpr (std::is_same_v<T, float>) {
        return "float32";
    } else {
        static_assert(std::is_same_v<T, double>, "a column type without a numpy name");
        return "float64";
    }
}

// NOLINTBEGIN(readability-trailing-comma): tables of one entry per column
// The record columns of each model, in the order a record file writes them,
// and the truth columns that a run with truth adds after them.
constexpr auto record_columns(std::type_identity<ZozuvUza> /*model*/) {
    using C = ZozuvUzaColumns;
    return std::tuple{
        Column{.name = "channel", .member = &C::channel, .meaning = "channel number"},
        Column{.name = "time_ns",
               .member = &C::time_ns,
               .unit = "ns",
               .meaning = "start of the readout window from the run's time origin: adc_index x adc_step, exact, to "
                          "the nearest ns (halves toward the later one) where adc_step is not a whole number of ns"},
        Column{.name = "trigger_time_s",
               .member = &C::trigger_time_s,
               .unit = "s",
               .meaning = "whole seconds of the readout window's start, which is the trigger time plus "
                          "trigger_offset ADC steps (not the trigger time itself)"},
        Column{.name = "trigger_time_ticks",
               .member = &C::trigger_time_ticks,
               .unit = "4 ns ticks",
               .meaning = "the readout window's start within its second, in whole ticks, by the front end's own rule "
                          "(the start in double precision, truncated: it may lie one tick below the exact start, "
                          "adc_index)"},
        Column{.name = "baseline",
               .member = &C::baseline,
               .unit = "LSB",
               .meaning = "the channel's configured ADC offset (offset, or its per-channel override), not a value "
                          "measured from the samples"},
        Column{.name = "intsum",
               .member = &C::intsum,
               .unit = "LSB x samples",
               .meaning = "sum over the window's samples of (sample - offset), in single precision"},
        Column{.name = "waveform",
               .member = &C::waveform,
               .unit = "LSB",
               .meaning = "the readout window's ADC samples, one every adc_step from its start; a sample the sparse "
                          "ADC holds no entry for reads 0, or trunc(offset) after its last entry, unless "
                          "baseline_noise fills it",
               .shape = "waveform_samples"},
        Column{.name = "n_saturated",
               .member = &C::n_saturated,
               .unit = "samples",
               .meaning = "window samples that clip cut, or whose value before the noise preamp_clip cut",
               .saturation = true,
               .added = true},
        Column{.name = "adc_index",
               .member = &C::adc_index,
               .unit = "ADC steps (adc_step)",
               .meaning = "start of the readout window (its first sample) in whole ADC steps from the run's time "
                          "origin, exact across segments; negative for a window that the early policy ZERO keeps",
               .added = true},
    };
}

constexpr auto record_columns(std::type_identity<MultiPMT> /*model*/) {
    using C = MultiPMTColumns;
    return std::tuple{
        Column{.name = "time",
               .member = &C::time,
               .unit = "s",
               .meaning = "start of the hit (the ToT leading edge on the TDC grid) from the run's time origin"},
        Column{.name = "channel", .member = &C::channel, .meaning = "channel number"},
        Column{.name = "time_over_threshold",
               .member = &C::time_over_threshold,
               .unit = "s",
               .meaning = "length of the hit: its trailing edge minus its leading edge, both on the TDC grid"},
        Column{.name = "adc_sample",
               .member = &C::adc_sample,
               .unit = "LSB",
               .meaning = "the ADC sample read sample_delay after the hit's start; 0 where the ADC held no sample "
                          "there"},
        Column{.name = "tdc_count",
               .member = &C::tdc_count,
               .unit = "TDC steps (tot_step)",
               .meaning = "start of the hit in whole TDC steps from the run's time origin, exact across segments: "
                          "time is tdc_count x tot_step as closely as a double holds it",
               .added = true},
        Column{.name = "adc_saturated",
               .member = &C::adc_saturated,
               .meaning = "whether adc_clip cut the hit's ADC sample",
               .saturation = true,
               .added = true},
    };
}

// What the PEs that made a record were; a PE contributes to a record when its
// pulse reaches what the record reads, with the share of its pulse that lies
// there; each PE is counted in the record that holds its largest share.
constexpr auto truth_columns() {
    using C = TruthColumns;
    return std::tuple{
        Column{.name = "n_pe",
               .member = &C::n_pe,
               .unit = "PEs",
               .meaning = "number of PEs counted in the record: those whose largest share of pulse lies in it (each "
                          "PE in one record at most, the earliest on a tie)"},
        Column{.name = "true_charge",
               .member = &C::true_charge,
               .unit = "normalised amplitude",
               .meaning = "sum over the PEs that reach the record of their share of pulse in it times their drawn "
                          "amplitude"},
        Column{.name = "first_pe_time",
               .member = &C::first_pe_time,
               .unit = "s",
               .meaning = "earliest drawn arrival time among the PEs counted in n_pe, transit-time spread included, "
                          "from the run's time origin; NaN where none is counted"},
        Column{.name = "n_dark",
               .member = &C::n_dark,
               .unit = "PEs",
               .meaning = "PEs counted in n_pe that came from dark noise"},
        Column{.name = "n_afterpulse",
               .member = &C::n_afterpulse,
               .unit = "PEs",
               .meaning = "PEs counted in n_pe that were afterpulses"},
        Column{.name = "n_pe_any",
               .member = &C::n_pe_any,
               .unit = "PEs",
               .meaning = "number of PEs whose pulse reaches the record at all (its links), counted in n_pe or not",
               .added = true},
    };
}

// The links as the engine gives them, one row per (record, PE) pair.
constexpr auto link_columns() {
    using C = TruthColumns;
    return std::tuple{
        Column{.name = "record", .member = &C::link_record, .meaning = "the record's row in the columns"},
        Column{.name = "pe", .member = &C::link_pe, .meaning = "the PE's index in the block's times"},
        Column{.name = "time",
               .member = &C::link_time,
               .unit = "s",
               .meaning = "the PE's drawn arrival: origin + PE time + its drawn time offset"},
        Column{.name = "amplitude",
               .member = &C::link_amplitude,
               .unit = "normalised amplitude",
               .meaning = "the PE's drawn amplitude"},
        Column{.name = "fraction",
               .member = &C::link_fraction,
               .unit = "share of the PE's pulse",
               .meaning = "the share of the PE's shaped pulse that falls inside the record"},
    };
}
// NOLINTEND(readability-trailing-comma)

// One piece of work: PE times [first, last) of the block's times, all of one
// channel, counted from the piece's origin (origin seconds, or origin_ticks
// whole steps of the model's integer time: 4 ns time-stamp ticks for
// ZozuvUza, TDC steps for MultiPMT; for ZozuvUza also origin_steps whole ADC
// steps; the same instant).
struct ChannelPiece {
    std::int32_t channel = 0;
    std::size_t first = 0;
    std::size_t last = 0;
    std::size_t model = 0;                  // which of the engine's parameter sets
    std::array<std::uint32_t, 8> seed = {}; // the model generator's seed_seq input (independent seeding)
    std::uint64_t origin_ticks = 0;
    double origin = 0.0;
    std::int64_t origin_steps = 0; // ZozuvUza: the origin in whole ADC steps
};

// The readout windows of one ZozuvUza piece that the early-window policy
// WARN dropped: the piece's channel and origin (seconds), how many windows,
// and the start of the first one, counted from the piece's origin.
struct EarlyNotice {
    std::int32_t channel = 0;
    std::size_t count = 0;
    double first_start = 0.0;
    double origin = 0.0;
};

// What a block asks of the engine beyond the records. None of it takes a
// draw from a model's generator or changes a record's existing fields.
struct RunExtras {
    // Truth columns and links (Columns::truth). `kinds`, where given, holds
    // one entry per PE time of the block: 0 input PE, 1 dark noise, 2
    // afterpulse; without it every PE counts as an input PE.
    bool truth = false;
    const std::vector<std::uint8_t>* kinds = nullptr;
    // The saturation column (n_saturated, adc_saturated).
    bool saturation = true;
    // Where given, one seed_seq input per piece: ZozuvUza fills every window
    // sample without an ADC entry with baseline noise, its standard variates
    // drawn from a generator of its own seeded from the piece's row.
    const std::vector<std::array<std::uint32_t, 8>>* noise_seeds = nullptr;
};

// Thrown out of a block when one of its pieces fails: the piece's channel
// and what the simulation threw.
struct ChannelFailure : std::exception {
    ChannelFailure(std::int32_t channel, std::exception_ptr cause) : channel(channel), cause(std::move(cause)) {}
    const char* what() const noexcept override { return "a channel of the block failed"; }
    std::int32_t channel;
    std::exception_ptr cause;
};

// Thrown out of a block when its cancel flag is set.
struct Cancelled : std::exception {
    const char* what() const noexcept override { return "the run was cancelled"; }
};

// One link that the engine found in a piece: the record and the PE, both
// counted within the piece, and the PE's share of pulse in the record.
struct TruthLink {
    std::size_t record = 0;
    std::size_t pe = 0;
    double fraction = 0.0;
};

template <typename Model>
struct ColumnsOf;
template <>
struct ColumnsOf<ZozuvUza> {
    using type = ZozuvUzaColumns;
    using records = std::vector<ostrelin::ZozuvUzaTrigger>;
};
template <>
struct ColumnsOf<MultiPMT> {
    using type = MultiPMTColumns;
    using records = std::vector<ostrelin::MultiPMTTrigger>;
};

// Simulates blocks of pieces with a fixed set of models, one per distinct
// parameter set (channels with per-channel settings use their own).
//
// Independent seeding: each piece runs on a copy of its model whose generator
// is seeded from the piece's own seed, so a piece's records depend only on
// the model, the seed and its PEs, never on which thread or block runs it.
// Blocks may run on several threads at once.
//
// Sequential seeding: one generator, seeded from an integer as the models'
// constructors seed theirs, passes from piece to piece in order; blocks must
// then be simulated one after the other, in order.
//
// Truth. A PE's pulse is its drawn amplitude times a pulse shape placed at
// the PE's PMT grid index i: the index of its time plus its drawn time
// offset, by the library's time-to-index rule. A PE contributes to a record
// (a link) when its pulse is non-zero (amplitude and tap both non-zero) at a
// point that the record reads:
// - ZozuvUza: tap j of the ADC pulse shape lies at PMT index i + j; ADC
//   sample k reads PMT index k * ratio + phase (ratio: PMT steps per ADC
//   step; phase: the call's sampling phase, fixed or as drawn); the record
//   reads the samples of its window, waveform_samples of them from the
//   window's first index on.
// - MultiPMT, either branch: the ADC side as above, at the one sample that
//   the record reads (time + sample_delay on the ADC grid); or the
//   time-over-threshold side: tap j of the ToT pulse shape adds into the
//   shaped-waveform entry that the convolution's merge rules give it (its
//   own index by the time-to-index rule, or the next entry at or after it
//   that an earlier PMT entry's taps made), and the record is made by the
//   hit that the discriminator opened at one shaped sample and closed at a
//   later one (or at the last stored sample); any such entry from the
//   opening sample to the closing one, both included, counts. These are the
//   discriminator's own sample times, before the TDC jitter and rounding.
//
// Each link carries a fraction: the share of the PE's shaped pulse that
// falls inside the record. Every tap weighs its absolute value |kernel[j]|,
// so that negative lobes (undershoot) cannot give a share outside [0, 1].
// - ZozuvUza: the pulse as the ADC sees it is the set of ADC samples k whose
//   point k * ratio + phase lies under its taps (j = k * ratio + phase - i
//   from 0 to the last tap); fraction = the sum of |kernel[j]| over the
//   window's samples / the sum over all those sampled points. A PE whose
//   sampled taps are all zero reaches nothing.
// - MultiPMT: fraction = the sum of |kernel[j]| over the ToT taps whose
//   shaped entry (by the merge rule above) lies within the hit's span, from
//   the opening sample to the closing sample, both included / the same sum
//   over the taps that lie within any hit's span. The discriminator sees
//   nothing of a pulse's taps below its threshold, so a pulse that makes one
//   hit alone gets fraction 1, and one split over hits is shared among them
//   by its taps in each. The ADC branch adds no share: a PE linked through
//   it alone has fraction 0.
// The sums run tap after tap from the first, so a record that holds every
// non-zero tap of a pulse gets fraction exactly 1. Hits never overlap, nor do
// windows at retrigger_offset >= waveform_samples: a PE's fractions then add
// up to at most 1 (up to rounding). Overlapping windows both read their
// common samples, and a PE's fractions there may add up to more.
//
// Per record: n_pe_any counts its links; true_charge is the sum of fraction
// x amplitude over them. Each PE is counted in one record at most: the one
// where its fraction is largest and above 0, the earliest of the piece's
// records on a tie (records come in time order). n_pe counts those PEs,
// n_dark and n_afterpulse those of them that are dark noise and
// afterpulses, and first_pe_time is the earliest arrival among them (NaN
// for none). A PE belongs to one piece, so this choice is made per piece.
// A record may have no contributing PE (a window placed away from its
// pulses, or one read where only zero taps reach).
template <typename Model>
class ChannelEngine {
  public:
    using Columns = typename ColumnsOf<Model>::type;

    ChannelEngine(std::vector<Model> models, std::size_t waveform_samples);

    // Seeds the sequential generator as a model constructed with `seed` would be.
    void seed_sequential(int seed);

    // Simulates the pieces in order and returns their records in that order.
    // `cancel` is checked between pieces and, through the interrupt check of
    // each call's SimulateContext, within long pieces; once it is set, the
    // call throws Cancelled. A piece that throws ends the block with ChannelFailure.
    // With `early` given, the windows that ZozuvUza's policy WARN drops are
    // noted there, one notice per piece that dropped any, and nothing is
    // written to standard error; without it each writes its line.
    // `extras` asks for truth, saturation and baseline noise (RunExtras).
    Columns simulate_independent(const std::vector<ChannelPiece>& pieces, const std::vector<double>& times,
                                 const std::atomic<bool>& cancel, std::vector<EarlyNotice>* early = nullptr,
                                 const RunExtras& extras = {}) const;
    Columns simulate_sequential(const std::vector<ChannelPiece>& pieces, const std::vector<double>& times,
                                const std::atomic<bool>& cancel, std::vector<EarlyNotice>* early = nullptr,
                                const RunExtras& extras = {});

    std::size_t model_count() const { return models_.size(); }

    // The largest PE time magnitude a piece may hold (the models share their
    // PMT grid): longer runs go in segments.
    double max_pe_time() const { return models_.front().max_pe_time(); }

    // Time spent turning records into columns, over all calls so far, in
    // nanoseconds: what the column hand-over costs beside the simulation.
    std::uint64_t columns_nanoseconds() const { return columns_ns_->load(); }

  private:
    Columns new_columns() const;
    void append_timed(Columns& columns, const typename ColumnsOf<Model>::records& records, const ChannelPiece& piece,
                      const CallTrace& trace) const;
    // The storage that the pieces of one call work in.
    struct PieceWork {
        CallTrace trace;
        MersenneTwister noise_rng;
        BaselineNoise noise;
        std::vector<TruthLink> links; // by record in the piece and PE in the piece
        // Per PE of the piece: its largest fraction and the record it lies in.
        std::vector<std::pair<double, std::size_t>> best;
        // The sums of |kernel[j]| over the ADC pulse shape's taps j of each
        // residue j mod ratio, and the shape and ratio they are of.
        std::optional<std::pair<std::pair<const void*, std::int64_t>, std::vector<double>>> adc_weights;
        // The ToT pulse shape's tap offsets on the PMT grid, and the shape they are of.
        std::optional<std::pair<const void*, TapOffsets>> tot_offsets;
    };
    // Runs piece number `index` on `model` with what `extras` asks noted in
    // the trace, and appends its records, saturation and truth to `columns`.
    // The call polls `interrupt`.
    void run_piece(Model& model, Columns& columns, const std::vector<double>& pe_times, const ChannelPiece& piece,
                   std::size_t index, const std::vector<double>& times, std::vector<EarlyNotice>* early,
                   const RunExtras& extras, PieceWork& work, InterruptCheck interrupt) const;

    std::vector<Model> models_;
    std::size_t waveform_samples_;
    MersenneTwister sequential_rng_;
    std::unique_ptr<std::atomic<std::uint64_t>> columns_ns_ = std::make_unique<std::atomic<std::uint64_t>>(0);
};

extern template class ChannelEngine<ZozuvUza>;
extern template class ChannelEngine<MultiPMT>;

} // namespace velmora
