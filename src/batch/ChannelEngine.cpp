#include "ChannelEngine.h"

#include "Interrupt.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora {

namespace {

// The ticks of the records' time stamps per second, as a whole number.
constexpr std::uint64_t nearest_whole(double x) {
    const auto whole = static_cast<std::uint64_t>(x);
    return x - static_cast<double>(whole) >= 0.5 ? whole + 1 : whole;
}
constexpr double seconds_per_tick = ostrelin::ZozuvUzaTrigger::SECONDS_PER_TICK;
constexpr std::uint64_t ticks_per_second = nearest_whole(1.0 / seconds_per_tick);

// A step in whole femtoseconds, or 0 where it is not a whole number of them.
std::int64_t whole_femtoseconds(double step) {
    const double fs = step * 1e15;
    const double nearest = std::nearbyint(fs);
    const bool whole = nearest >= 1.0 && nearest < 0x1p62 && std::abs(fs - nearest) <= 1e-9 * nearest;
    return whole ? static_cast<std::int64_t>(nearest) : 0;
}

__extension__ using Int128 = __int128;

// The start of ADC sample `index` in whole nanoseconds, to the nearest one,
// halves toward the later one: exact in integers for a step of whole
// femtoseconds (`step_fs`), else from the product in extended precision.
std::int64_t start_ns(std::int64_t index, std::int64_t step_fs, double step) {
    if (step_fs != 0) {
        constexpr std::int64_t fs_per_ns = 1'000'000;
        const Int128 shifted = (static_cast<Int128>(index) * step_fs) + (fs_per_ns / 2);
        Int128 ns = shifted / fs_per_ns;
        if (shifted % fs_per_ns < 0) {
            --ns; // floor, not truncation, for starts before the origin
        }
        return static_cast<std::int64_t>(ns);
    }
    const long double ns = static_cast<long double>(index) * static_cast<long double>(step) * 1e9L;
    return static_cast<std::int64_t>(std::floor(ns + 0.5L));
}

} // namespace

void ZozuvUzaColumns::append(const std::vector<ostrelin::ZozuvUzaTrigger>& records, std::uint64_t origin_ticks,
                             std::int64_t origin_steps, const std::vector<std::int64_t>& first_indices) {
    if (first_indices.size() != records.size()) {
        throw std::logic_error("ZozuvUzaColumns: one first ADC index per record is needed.");
    }
    const std::int64_t step_fs = whole_femtoseconds(adc_step);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        if (r.waveform.size() != waveform_samples) {
            throw std::length_error(
                "ZozuvUza record with " + std::to_string(r.waveform.size()) +
                " waveform samples where the run has waveform_samples = " + std::to_string(waveform_samples) + ".");
        }
        std::uint64_t seconds = r.trigger_time_s;
        std::uint64_t ticks = r.trigger_time_ticks;
        if (origin_ticks != 0) {
            const std::uint64_t total = (seconds * ticks_per_second) + ticks + origin_ticks;
            seconds = total / ticks_per_second;
            ticks = total % ticks_per_second;
            if (seconds > 0xFFFFFFFFu) {
                throw std::overflow_error("ZozuvUza record time beyond the 32-bit seconds counter.");
            }
        }
        channel.push_back(r.channel);
        trigger_time_s.push_back(static_cast<std::uint32_t>(seconds));
        trigger_time_ticks.push_back(static_cast<std::uint32_t>(ticks));
        const std::int64_t index = first_indices[i] + origin_steps;
        adc_index.push_back(index);
        time_ns.push_back(start_ns(index, step_fs, adc_step));
        baseline.push_back(r.baseline);
        intsum.push_back(r.intsum);
        waveform.insert(waveform.end(), r.waveform.begin(), r.waveform.end());
    }
}

void MultiPMTColumns::append(const std::vector<ostrelin::MultiPMTTrigger>& records, double origin,
                             std::uint64_t origin_steps) {
    for (const auto& r : records) {
        time.push_back(origin == 0.0 ? r.time : r.time + origin);
        channel.push_back(r.channel);
        time_over_threshold.push_back(r.time_over_threshold);
        adc_sample.push_back(r.adc_sample);
        // r.time is a whole number n of steps times the step, rounded to a
        // double: dividing gives n within a few parts in 2^53, and hit times
        // stay far below 2^50 steps (the late-time limit), so rounding
        // recovers n exactly.
        tdc_count.push_back(std::llround(r.time / tdc_step) + static_cast<std::int64_t>(origin_steps));
    }
}

namespace {

void append(ZozuvUzaColumns& columns, const std::vector<ostrelin::ZozuvUzaTrigger>& records, const ChannelPiece& piece,
            const CallTrace& trace) {
    columns.append(records, piece.origin_ticks, piece.origin_steps, trace.record_points);
}

void append(MultiPMTColumns& columns, const std::vector<ostrelin::MultiPMTTrigger>& records, const ChannelPiece& piece,
            const CallTrace& /*trace*/) {
    columns.append(records, piece.origin, piece.origin_ticks);
}

// The check that the models' own interrupt polls run: it throws Cancelled
// once `cancel` is set.
std::function<void()> watch(const std::atomic<bool>& cancel) {
    return [&cancel] {
        if (cancel.load(std::memory_order_relaxed)) {
            throw Cancelled{};
        }
    };
}

void check_extras(const RunExtras& extras, std::size_t n_pieces, std::size_t n_times) {
    if (extras.kinds != nullptr && extras.kinds->size() != n_times) {
        throw std::invalid_argument("ChannelEngine: kinds must hold one entry per PE time.");
    }
    if (extras.noise_seeds != nullptr && extras.noise_seeds->size() != n_pieces) {
        throw std::invalid_argument("ChannelEngine: noise seeds must hold one row per piece.");
    }
}

void check_piece(const ChannelPiece& piece, std::size_t n_times, std::size_t n_models) {
    if (piece.first > piece.last || piece.last > n_times) {
        throw std::out_of_range("ChannelEngine: piece of channel " + std::to_string(piece.channel) +
                                " reaches outside the block's PE times.");
    }
    if (piece.model >= n_models) {
        throw std::out_of_range("ChannelEngine: piece of channel " + std::to_string(piece.channel) +
                                " names parameter set " + std::to_string(piece.model) + " of " +
                                std::to_string(n_models) + ".");
    }
}

// Simulates one piece on `model` in `context`. With `early`, the windows
// that the policy WARN drops are counted instead of written out and, if there
// were any, noted for the piece.
template <typename Model>
auto simulate_piece(Model& model, const std::vector<double>& pe_times, const ChannelPiece& piece,
                    std::vector<EarlyNotice>* early, SimulateContext context) {
    if constexpr (std::is_same_v<Model, ZozuvUza>) {
        if (early != nullptr) {
            EarlyWindows dropped;
            context.early_windows = &dropped;
            auto records = model.simulate(pe_times, piece.channel, context);
            if (dropped.count != 0) {
                early->push_back({
                    .channel = piece.channel,
                    .count = dropped.count,
                    .first_start = dropped.first_start,
                    .origin = piece.origin,
                });
            }
            return records;
        }
    }
    return model.simulate(pe_times, piece.channel, context);
}

// Floor and ceiling of a / b for b > 0.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}
std::int64_t ceil_div(std::int64_t a, std::int64_t b) {
    return -floor_div(-a, b);
}

// The first and last non-zero tap of a kernel; first > last for none.
std::pair<std::int64_t, std::int64_t> nonzero_taps(const std::vector<double>& kernel) {
    std::int64_t first = 0;
    auto last = static_cast<std::int64_t>(kernel.size()) - 1;
    while (first <= last && kernel[static_cast<std::size_t>(first)] == 0.0) {
        ++first;
    }
    while (last >= first && kernel[static_cast<std::size_t>(last)] == 0.0) {
        --last;
    }
    return {first, last};
}

// The records, by row within the piece, ordered by a point each reads:
// positions into the trace's record_points, sorted by point.
std::vector<std::size_t> by_point(const std::vector<std::int64_t>& points) {
    std::vector<std::size_t> order(points.size());
    for (std::size_t r = 0; r < order.size(); ++r) {
        order[r] = r;
    }
    if (!std::ranges::is_sorted(points)) {
        std::ranges::stable_sort(order, [&](std::size_t a, std::size_t b) { return points[a] < points[b]; });
    }
    return order;
}

// The sums of |kernel[j]| over the taps j of each residue j mod ratio, taps
// in increasing order: the weight of all the points that the ADC samples of
// a pulse whose taps start at residue rho, whatever the PE's index.
std::vector<double> residue_weights(const std::vector<double>& kernel, std::int64_t ratio) {
    std::vector<double> sums(static_cast<std::size_t>(ratio), 0.0);
    for (std::size_t j = 0; j < kernel.size(); ++j) {
        sums[j % static_cast<std::size_t>(ratio)] += std::abs(kernel[j]);
    }
    return sums;
}

// The sum of |kernel[j]| over `count` taps from `first` on, `ratio` apart:
// the weight of a pulse's consecutive sampled points. Summed tap after tap,
// as residue_weights sums, so that all the non-zero sampled taps of a pulse
// give that total exactly.
double sampled_weight(const std::vector<double>& kernel, std::int64_t first, std::int64_t count, std::int64_t ratio) {
    double weight = 0.0;
    for (std::int64_t n = 0; n < count; ++n) {
        weight += std::abs(kernel[static_cast<std::size_t>(first + (n * ratio))]);
    }
    return weight;
}

// Adds a link for the PEs whose ADC-shaped pulse is non-zero at a sample
// that a record reads: the `span` samples from each record's point on (a
// ZozuvUza window; 1 for the MultiPMT sample). With `shares`, the link's
// fraction is the weight of those samples over the weight of every point the
// ADC samples of the pulse (see ChannelEngine); without, it is 0. Per PE, a
// bisection over the records and a walk over the samples its pulse reaches:
// linear in the PEs, never in PEs times records.
void adc_links(const CallTrace& trace, std::int64_t span, bool shares,
               std::optional<std::pair<std::pair<const void*, std::int64_t>, std::vector<double>>>& weights_of,
               std::vector<TruthLink>& links) {
    const auto& points = trace.record_points;
    if (points.empty() || trace.adc_shape == nullptr || trace.adc_ratio < 1 || span < 1) {
        return;
    }
    const auto& kernel = trace.adc_shape->kernel();
    const auto [tap_lo, tap_hi] = nonzero_taps(kernel);
    const std::int64_t ratio = trace.adc_ratio;
    const std::int64_t phase = trace.adc_phase;
    if (tap_lo > tap_hi || phase < 0 || phase >= ratio) {
        return; // no non-zero tap, or no point sampled at all
    }
    const std::pair<const void*, std::int64_t> key{trace.adc_shape, ratio};
    if (shares && (!weights_of || weights_of->first != key)) {
        weights_of.emplace(key, residue_weights(kernel, ratio));
    }
    const auto order = by_point(points);
    std::vector<std::int64_t> sorted(order.size());
    for (std::size_t r = 0; r < order.size(); ++r) {
        sorted[r] = points[order[r]];
    }
    for (std::size_t j = 0; j < trace.pe_indices.size(); ++j) {
        if (trace.pe_amplitudes[j] == 0.0) {
            continue;
        }
        const std::int64_t i = trace.pe_indices[j];
        // The ADC samples whose point lies under the pulse's non-zero taps.
        const std::int64_t k_lo = ceil_div(i + tap_lo - phase, ratio);
        const std::int64_t k_hi = floor_div(i + tap_hi - phase, ratio);
        if (k_lo > k_hi) {
            continue;
        }
        const double total =
            shares ? weights_of->second[static_cast<std::size_t>(((k_lo * ratio) + phase - i) % ratio)] : 0.0;
        // Records whose samples [point, point + span) reach k_lo or later.
        auto r = static_cast<std::size_t>(std::ranges::lower_bound(sorted, k_lo - span + 1) - sorted.begin());
        for (; r < sorted.size() && sorted[r] <= k_hi; ++r) {
            const std::int64_t from = std::max(sorted[r], k_lo);
            const std::int64_t to = std::min(sorted[r] + span - 1, k_hi);
            const double weight = sampled_weight(kernel, (from * ratio) + phase - i, to - from + 1, ratio);
            if (weight > 0.0) {
                links.push_back({.record = order[r], .pe = j, .fraction = shares ? weight / total : 0.0});
            }
        }
    }
}

// The sum of |kernel[j]|, tap after tap.
double abs_sum(const std::vector<double>& kernel) {
    double sum = 0.0;
    for (const double tap : kernel) {
        sum += std::abs(tap);
    }
    return sum;
}

using Spans = std::vector<std::pair<std::int64_t, std::int64_t>>;
using SpanIt = Spans::const_iterator;
using PmtEntries = std::vector<std::pair<std::int64_t, std::size_t>>;
using MergedIt = std::vector<CallTrace::MergedTap>::const_iterator;

// What the ToT links read for every PMT entry, and the hits that the current
// entry's non-zero taps add into, each with the weight of those taps (the sum
// of their |kernel[j]|, tap after tap).
struct ToTTaps {
    const CallTrace& trace;
    const std::vector<double>& kernel;
    double kernel_step;
    double step;
    const TapOffsets& offsets;
    bool use_offsets;
    std::int64_t nz_first;
    std::int64_t nz_last;
    double total; // the sum of |kernel[j]| over every tap, tap after tap
    std::vector<std::pair<std::size_t, double>> hits_of;

    [[nodiscard]] const Spans& spans() const { return trace.tot_spans; }

    // The own index of tap i of the entry at index a: by its offset where one
    // is known, else by the index rule.
    [[nodiscard]] std::int64_t tap_index(std::size_t i, std::int64_t a, double t0, const std::int64_t* off) const {
        return off != nullptr && off[i] != TapOffsets::unknown
                   ? a + off[i]
                   : time_to_index((static_cast<double>(i) * kernel_step) + t0, step);
    }

    // Notes that tap i lands in hit h.
    void note(SpanIt h, std::size_t i) {
        const auto hit = static_cast<std::size_t>(h - spans().begin());
        if (hits_of.empty() || hits_of.back().first != hit) {
            hits_of.emplace_back(hit, 0.0);
        }
        hits_of.back().second += std::abs(kernel[i]);
    }
};

// The PEs by PMT index: the PMT entries, each with the PEs it sums.
PmtEntries pes_by_index(const CallTrace& trace) {
    PmtEntries pes(trace.pe_indices.size());
    for (std::size_t j = 0; j < pes.size(); ++j) {
        pes[j] = {trace.pe_indices[j], j};
    }
    std::ranges::sort(pes);
    return pes;
}

// An entry none of whose taps the convolution moved: its non-zero taps lie
// at their own indices, from a + off[nz_first] to a + off[nz_last], in
// increasing order. A hit that spans all of them takes the whole pulse
// without a look at each tap (the common case of a lone PE's pulse); else
// the taps are walked with the hits alongside.
void lone_entry_hits(ToTTaps& taps, SpanIt span, std::int64_t a, double t0, const std::int64_t* off) {
    const std::int64_t lo = a + off[taps.nz_first];
    const std::int64_t hi = a + off[taps.nz_last];
    const auto& spans = taps.spans();
    while (span != spans.end() && span->second < lo) {
        ++span;
    }
    if (span == spans.end() || span->first > hi) {
        return;
    }
    if (span->first <= lo && hi <= span->second) {
        taps.hits_of.emplace_back(static_cast<std::size_t>(span - spans.begin()), taps.total);
        return;
    }
    for (auto i = static_cast<std::size_t>(taps.nz_first); std::cmp_less_equal(i, taps.nz_last); ++i) {
        const std::int64_t tap = taps.tap_index(i, a, t0, off);
        while (span != spans.end() && span->second < tap) {
            ++span;
        }
        if (span == spans.end()) {
            return;
        }
        if (taps.kernel[i] != 0.0 && span->first <= tap) {
            taps.note(span, i);
        }
    }
}

// Every non-zero tap of the entry at index a at the shaped entry it added
// into: the one that the convolution reported for it where it moved the tap
// ([moved, moved_end), the entry's moved taps by tap), else the tap's own
// index; notes the hits they add into. The shaped entries do not decrease
// from tap to tap, so the hits are walked alongside.
void entry_hits(ToTTaps& taps, SpanIt span, std::int64_t a, double t0, const std::int64_t* off, MergedIt moved,
                MergedIt moved_end) {
    const auto& spans = taps.spans();
    for (std::size_t i = 0; i < taps.kernel.size(); ++i) {
        const bool was_moved = moved != moved_end && moved->tap == i;
        const std::int64_t target = was_moved ? moved->target : 0;
        moved += was_moved ? 1 : 0;
        if (taps.kernel[i] == 0.0) {
            continue;
        }
        const std::int64_t at = was_moved ? target : taps.tap_index(i, a, t0, off);
        while (span != spans.end() && span->second < at) {
            ++span;
        }
        if (span == spans.end()) {
            return; // no hit lies further on
        }
        if (span->first <= at) {
            taps.note(span, i);
        }
    }
}

// Adds a link for every hit noted and every PE of the PMT entries e to
// e_end (one index) with a non-zero amplitude: the entry's taps are the
// PEs' own, so each PE takes the hit's share of them. The share is of the
// taps that lie within any hit: the discriminator sees nothing of the taps
// below its threshold, so a pulse that makes one hit alone is wholly in it.
void add_entry_links(const ToTTaps& taps, const PmtEntries& pes, std::size_t e, std::size_t e_end,
                     std::vector<TruthLink>& links) {
    double in_hits = 0.0;
    for (const auto& hit : taps.hits_of) {
        in_hits += hit.second;
    }
    for (const auto& [h, weight] : taps.hits_of) {
        for (std::size_t m = e; m < e_end; ++m) {
            if (taps.trace.pe_amplitudes[pes[m].second] != 0.0) {
                links.push_back({.record = h, .pe = pes[m].second, .fraction = weight / in_hits});
            }
        }
    }
}

// The moved taps of the PMT entry at index a: the range of them from `from`
// on, which the entries before a have been moved past.
std::pair<MergedIt, MergedIt> moved_of(MergedIt from, MergedIt end, std::int64_t a) {
    while (from != end && from->entry < a) {
        ++from;
    }
    auto to = from;
    while (to != end && to->entry == a) {
        ++to;
    }
    return {from, to};
}

// Adds the links of the PEs of the PMT entries e to e_end (one index a),
// whose taps the convolution moved as [moved, moved_end) says, from the
// first hit that ends at or after a; nothing where no hit lies within reach
// of the entry's taps.
void entry_links(ToTTaps& taps, const PmtEntries& pes, std::size_t e, std::size_t e_end, SpanIt first_hit,
                 MergedIt moved, MergedIt moved_end, std::int64_t reach, std::vector<TruthLink>& links) {
    const std::int64_t a = pes[e].first;
    const std::int64_t last_target = moved_end != moved ? std::max(a + reach, (moved_end - 1)->target) : a + reach;
    if (first_hit == taps.spans().end() || first_hit->first > last_target) {
        return;
    }
    taps.hits_of.clear();
    const double t0 = static_cast<double>(a) * taps.step;
    const std::int64_t* off = taps.use_offsets ? taps.offsets.for_index(a) : nullptr;
    if (moved == moved_end && off != nullptr && off[taps.nz_first] != TapOffsets::unknown &&
        off[taps.nz_last] != TapOffsets::unknown) {
        lone_entry_hits(taps, first_hit, a, t0, off);
    } else {
        entry_hits(taps, first_hit, a, t0, off, moved, moved_end);
    }
    add_entry_links(taps, pes, e, e_end, links);
}

// Where the tap offsets place every tap as the index rule does (the model's
// convolution then streams with them), they stand in for the index rule's
// division.
bool offsets_exact(const SparseConvolution<double>& shape, const PmtEntries& pes, double step) {
    SparseWaveform<double> ends(step);
    if (!pes.empty()) {
        ends.add_at_index(pes.front().first, 0.0);
        ends.add_at_index(pes.back().first, 0.0);
    }
    return shape.streams_exactly(ends);
}

// Adds a link for the PEs whose ToT-shaped pulse is non-zero at a shaped
// entry within a record's hit, with the share of the pulse's taps there.
// Entry by entry in index order, each tap at the shaped entry it added into:
// its own index, or where the convolution reported that its merge rules
// moved it (CallTrace::tot_merged). An entry whose taps reach no hit is
// skipped.
void tot_links(const CallTrace& trace, std::vector<TruthLink>& links,
               std::optional<std::pair<const void*, TapOffsets>>& offsets_of) {
    const auto& spans = trace.tot_spans;
    if (spans.empty() || trace.tot_shape == nullptr || trace.tot_shape->kernel().empty()) {
        return;
    }
    const auto& kernel = trace.tot_shape->kernel();
    const double kernel_step = trace.tot_shape->time_step();
    const double step = trace.pmt_step;
    // No tap's own index lies further than this after its entry (one step of
    // slack for the index rule's nudge).
    const auto reach =
        static_cast<std::int64_t>(std::ceil(static_cast<double>(kernel.size() - 1) * kernel_step / step)) + 1;
    const PmtEntries pes = pes_by_index(trace);
    // Worked out once per pulse shape and grid (every piece of a model shares them).
    if (!offsets_of || offsets_of->first != trace.tot_shape) {
        offsets_of.emplace(trace.tot_shape, TapOffsets(kernel.size(), kernel_step, step));
    }
    const auto [nz_first, nz_last] = nonzero_taps(kernel);
    if (nz_first > nz_last) {
        return; // no non-zero tap: no PE's pulse reaches anything
    }
    ToTTaps taps{
        .trace = trace,
        .kernel = kernel,
        .kernel_step = kernel_step,
        .step = step,
        .offsets = offsets_of->second,
        .use_offsets = offsets_exact(*trace.tot_shape, pes, step),
        .nz_first = nz_first,
        .nz_last = nz_last,
        .total = abs_sum(kernel),
        .hits_of = {},
    };
    const auto& merged = trace.tot_merged;
    auto moved = merged.begin();
    auto first_hit = spans.begin(); // the first hit that ends at or after the entry
    for (std::size_t e = 0; e < pes.size();) {
        const std::int64_t a = pes[e].first;
        std::size_t e_end = e;
        while (e_end < pes.size() && pes[e_end].first == a) {
            ++e_end;
        }
        const auto [from, to] = moved_of(moved, merged.end(), a);
        while (first_hit != spans.end() && first_hit->second < a) {
            ++first_hit;
        }
        entry_links(taps, pes, e, e_end, first_hit, from, to, reach, links);
        moved = to;
        e = e_end;
    }
}

// The links of a piece ordered by record and PE, a pair found by both
// MultiPMT branches taken once with its shares added (the ADC branch adds 0).
void merge_links(std::vector<TruthLink>& links) {
    std::ranges::sort(links, [](const TruthLink& x, const TruthLink& y) {
        return std::pair(x.record, x.pe) < std::pair(y.record, y.pe);
    });
    std::size_t kept = 0;
    for (std::size_t l = 0; l < links.size(); ++l) {
        if (kept != 0 && links[kept - 1].record == links[l].record && links[kept - 1].pe == links[l].pe) {
            links[kept - 1].fraction += links[l].fraction;
        } else {
            links[kept++] = links[l];
        }
    }
    links.resize(kept);
}

// Per PE of the piece, the record where its fraction is largest and above
// 0, the earliest on a tie (links come by record); n_records for none.
void count_in(const std::vector<TruthLink>& links, std::size_t n_pes, std::size_t n_records,
              std::vector<std::pair<double, std::size_t>>& best) {
    best.assign(n_pes, {0.0, n_records});
    for (const auto& link : links) {
        if (link.fraction > best[link.pe].first) {
            best[link.pe] = {link.fraction, link.record};
        }
    }
}

// Appends the truth of a piece's records (rows row0 on) from its trace and
// its links: per record the PEs counted in it and the links, ordered by
// record and PE.
void append_truth(TruthColumns& truth, const CallTrace& trace, std::vector<TruthLink>& links,
                  std::vector<std::pair<double, std::size_t>>& best, std::size_t row0, std::size_t n_records,
                  const ChannelPiece& piece, const std::vector<double>& times, const std::vector<std::uint8_t>* kinds) {
    merge_links(links);
    count_in(links, trace.pe_indices.size(), n_records, best);
    const std::size_t n0 = truth.n_pe.size();
    truth.n_pe.resize(n0 + n_records, 0);
    truth.true_charge.resize(n0 + n_records, 0.0);
    truth.first_pe_time.resize(n0 + n_records, std::numeric_limits<double>::quiet_NaN());
    truth.n_dark.resize(n0 + n_records, 0);
    truth.n_afterpulse.resize(n0 + n_records, 0);
    truth.n_pe_any.resize(n0 + n_records, 0);
    for (const auto& [r, j, fraction] : links) {
        const std::size_t pe = piece.first + j;
        const double time = piece.origin + (times[pe] + trace.pe_offsets[j]);
        const double amplitude = trace.pe_amplitudes[j];
        const std::size_t row = n0 + r;
        ++truth.n_pe_any[row];
        truth.true_charge[row] += fraction * amplitude;
        if (best[j].second == r) {
            ++truth.n_pe[row];
            if (!(time >= truth.first_pe_time[row])) { // NaN at first
                truth.first_pe_time[row] = time;
            }
            const std::uint8_t kind = kinds != nullptr ? (*kinds)[pe] : 0;
            truth.n_dark[row] += kind == 1 ? 1 : 0;
            truth.n_afterpulse[row] += kind == 2 ? 1 : 0;
        }
        truth.link_record.push_back(static_cast<std::int64_t>(row0 + r));
        truth.link_pe.push_back(static_cast<std::int64_t>(pe));
        truth.link_time.push_back(time);
        truth.link_amplitude.push_back(amplitude);
        truth.link_fraction.push_back(fraction);
    }
}

void append_saturation(ZozuvUzaColumns& columns, const CallTrace& trace) {
    columns.n_saturated.insert(columns.n_saturated.end(), trace.record_clipped.begin(), trace.record_clipped.end());
}

void append_saturation(MultiPMTColumns& columns, const CallTrace& trace) {
    for (const std::uint16_t c : trace.record_clipped) {
        columns.adc_saturated.push_back(c != 0 ? 1 : 0);
    }
}

} // namespace

template <typename Model>
ChannelEngine<Model>::ChannelEngine(std::vector<Model> models, std::size_t waveform_samples)
    : models_(std::move(models)), waveform_samples_(waveform_samples) {
    if (models_.empty()) {
        throw std::invalid_argument("ChannelEngine: at least one model is needed.");
    }
}

template <typename Model>
void ChannelEngine<Model>::seed_sequential(int seed) {
    sequential_rng_.seed(static_cast<MersenneTwister::result_type>(seed));
}

template <typename Model>
typename ChannelEngine<Model>::Columns ChannelEngine<Model>::new_columns() const {
    Columns columns;
    if constexpr (std::is_same_v<Model, ZozuvUza>) {
        columns.waveform_samples = waveform_samples_;
        columns.adc_step = models_.front().adc_step(); // not a per-channel setting: every model shares it
    } else {
        columns.tdc_step = models_.front().tot_step(); // not a per-channel setting: every model shares it
    }
    return columns;
}

template <typename Model>
void ChannelEngine<Model>::append_timed(Columns& columns, const typename ColumnsOf<Model>::records& records,
                                        const ChannelPiece& piece, const CallTrace& trace) const {
    const auto start = std::chrono::steady_clock::now();
    append(columns, records, piece, trace);
    const auto spent = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    columns_ns_->fetch_add(static_cast<std::uint64_t>(spent.count()), std::memory_order_relaxed);
}

template <typename Model>
void ChannelEngine<Model>::run_piece(Model& model, Columns& columns, const std::vector<double>& pe_times,
                                     const ChannelPiece& piece, std::size_t index, const std::vector<double>& times,
                                     std::vector<EarlyNotice>* early, const RunExtras& extras, PieceWork& work,
                                     InterruptCheck interrupt) const {
    const bool noise = std::is_same_v<Model, ZozuvUza> && extras.noise_seeds != nullptr;
    SimulateContext context;
    context.interrupt = interrupt;
    // ZozuvUza's windows always need the trace: it gives their first ADC indices.
    if (!extras.truth && !extras.saturation && !noise && !std::is_same_v<Model, ZozuvUza>) {
        append_timed(columns, simulate_piece(model, pe_times, piece, early, context), piece, work.trace);
        return;
    }
    CallTrace& trace = work.trace;
    trace.clear();
    trace.pes = extras.truth;
    context.trace = &trace;
    if (noise) {
        const auto& words = (*extras.noise_seeds)[index];
        std::seed_seq seq(words.begin(), words.end());
        work.noise_rng.seed(seq);
        work.noise = BaselineNoise{.rng = &work.noise_rng, .gauss = draw::PolarNormal{}};
        context.baseline = &work.noise;
    }
    const auto records = simulate_piece(model, pe_times, piece, early, context);
    const std::size_t row0 = columns.rows();
    if (trace.record_points.size() != records.size()) {
        throw std::logic_error("ChannelEngine: the trace of a piece does not match its records.");
    }
    append_timed(columns, records, piece, trace);
    if (extras.saturation) {
        append_saturation(columns, trace);
    }
    if (extras.truth) {
        work.links.clear();
        if constexpr (std::is_same_v<Model, ZozuvUza>) {
            adc_links(trace, static_cast<std::int64_t>(waveform_samples_), true, work.adc_weights, work.links);
        } else {
            adc_links(trace, 1, false, work.adc_weights, work.links);
            tot_links(trace, work.links, work.tot_offsets);
        }
        append_truth(columns.truth, trace, work.links, work.best, row0, records.size(), piece, times, extras.kinds);
    }
}

template <typename Model>
typename ChannelEngine<Model>::Columns
ChannelEngine<Model>::simulate_independent(const std::vector<ChannelPiece>& pieces, const std::vector<double>& times,
                                           const std::atomic<bool>& cancel, std::vector<EarlyNotice>* early,
                                           const RunExtras& extras) const {
    check_extras(extras, pieces.size(), times.size());
    for (const auto& piece : pieces) {
        check_piece(piece, times.size(), models_.size());
    }
    const auto check = watch(cancel);
    Columns columns = new_columns();
    // One working copy per parameter set that the block uses: only the
    // generator of a model changes, and it is reseeded for every piece.
    std::vector<std::optional<Model>> copies(models_.size());
    std::vector<double> pe_times;
    PieceWork work;
    for (std::size_t index = 0; index < pieces.size(); ++index) {
        const auto& piece = pieces[index];
        if (cancel.load(std::memory_order_relaxed)) {
            throw Cancelled{};
        }
        try {
            auto& copy = copies[piece.model];
            if (!copy) {
                copy.emplace(models_[piece.model]);
            }
            std::seed_seq seq(piece.seed.begin(), piece.seed.end());
            copy->generator().seed(seq);
            pe_times.assign(times.begin() + static_cast<std::ptrdiff_t>(piece.first),
                            times.begin() + static_cast<std::ptrdiff_t>(piece.last));
            run_piece(*copy, columns, pe_times, piece, index, times, early, extras, work, InterruptCheck(check));
        } catch (const Cancelled&) {
            throw;
        } catch (...) {
            throw ChannelFailure(piece.channel, std::current_exception());
        }
    }
    return columns;
}

template <typename Model>
typename ChannelEngine<Model>::Columns
ChannelEngine<Model>::simulate_sequential(const std::vector<ChannelPiece>& pieces, const std::vector<double>& times,
                                          const std::atomic<bool>& cancel, std::vector<EarlyNotice>* early,
                                          const RunExtras& extras) {
    check_extras(extras, pieces.size(), times.size());
    for (const auto& piece : pieces) {
        check_piece(piece, times.size(), models_.size());
    }
    const auto check = watch(cancel);
    Columns columns = new_columns();
    std::vector<double> pe_times;
    PieceWork work;
    for (std::size_t index = 0; index < pieces.size(); ++index) {
        const auto& piece = pieces[index];
        if (cancel.load(std::memory_order_relaxed)) {
            throw Cancelled{};
        }
        try {
            Model& model = models_[piece.model];
            // The one generator passes through whichever model runs the piece.
            model.generator() = sequential_rng_;
            pe_times.assign(times.begin() + static_cast<std::ptrdiff_t>(piece.first),
                            times.begin() + static_cast<std::ptrdiff_t>(piece.last));
            run_piece(model, columns, pe_times, piece, index, times, early, extras, work, InterruptCheck(check));
            sequential_rng_ = model.generator();
        } catch (const Cancelled&) {
            throw;
        } catch (...) {
            throw ChannelFailure(piece.channel, std::current_exception());
        }
    }
    return columns;
}

template class ChannelEngine<ZozuvUza>;
template class ChannelEngine<MultiPMT>;

} // namespace velmora
