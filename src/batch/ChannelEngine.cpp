#include "ChannelEngine.h"

#include "Interrupt.h"

#include <algorithm>
#include <chrono>
#include <cmath>
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

// Makes the models' own interrupt polls, on this thread, watch `cancel`.
InterruptScope watch(const std::atomic<bool>& cancel) {
    return InterruptScope([&cancel] {
        if (cancel.load(std::memory_order_relaxed)) {
            throw Cancelled{};
        }
    });
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

// Simulates one piece on `model`. With `early`, the windows that the policy
// WARN drops are counted instead of written out and, if there were any,
// noted for the piece.
template <typename Model>
auto simulate_piece(Model& model, const std::vector<double>& pe_times, const ChannelPiece& piece,
                    std::vector<EarlyNotice>* early) {
    if constexpr (std::is_same_v<Model, ZozuvUza>) {
        if (early != nullptr) {
            EarlyWindows dropped;
            auto records = [&] {
                const EarlyWindowScope scope(dropped);
                return model.simulate(pe_times, piece.channel);
            }();
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
    return model.simulate(pe_times, piece.channel);
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

// What the replay of the ToT convolution's merge rules reads for every entry,
// and the hits that the current entry's non-zero taps add into, each with
// the weight of those taps (the sum of their |kernel[j]|, tap after tap).
struct ToTReplay {
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

    // Where tap i of the entry at index a lands: by its offset where one is
    // known, else by the index rule.
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

// The stretch from PMT entry p on: the last entry q of the entries each
// within the reach of an earlier one, and the furthest index their taps reach.
std::pair<std::size_t, std::int64_t> stretch_from(const PmtEntries& pes, std::size_t p, std::int64_t reach) {
    std::size_t q = p;
    std::int64_t end = pes[p].first + reach;
    while (q + 1 < pes.size() && pes[q + 1].first <= end) {
        ++q;
        end = std::max(end, pes[q].first + reach);
    }
    return {q, end};
}

// An entry alone in its stretch merges into nothing: its non-zero taps lie at
// their own indices, from a + off[nz_first] to a + off[nz_last], in
// increasing order. A hit that spans all of them takes the whole pulse
// without a look at each tap (the common case of a lone PE's pulse); else
// the taps are walked with the hits alongside.
void lone_entry_hits(ToTReplay& replay, SpanIt span, std::int64_t a, double t0, const std::int64_t* off) {
    const std::int64_t lo = a + off[replay.nz_first];
    const std::int64_t hi = a + off[replay.nz_last];
    const auto& spans = replay.spans();
    while (span != spans.end() && span->second < lo) {
        ++span;
    }
    if (span == spans.end() || span->first > hi) {
        return;
    }
    if (span->first <= lo && hi <= span->second) {
        replay.hits_of.emplace_back(static_cast<std::size_t>(span - spans.begin()), replay.total);
        return;
    }
    for (auto i = static_cast<std::size_t>(replay.nz_first); std::cmp_less_equal(i, replay.nz_last); ++i) {
        const std::int64_t tap = replay.tap_index(i, a, t0, off);
        while (span != spans.end() && span->second < tap) {
            ++span;
        }
        if (span == spans.end()) {
            return;
        }
        if (replay.kernel[i] != 0.0 && span->first <= tap) {
            replay.note(span, i);
        }
    }
}

// In merge mode, the shaped entry that a tap landing at `tap` adds into: the
// first at or after it from the cursor on; past the last one, merge mode ends
// and the tap makes its own entry.
std::int64_t merge_target(const std::vector<std::int64_t>& acc, std::size_t& cursor, bool& merging, std::int64_t tap) {
    while (cursor < acc.size() && acc[cursor] < tap) {
        ++cursor;
    }
    if (cursor < acc.size()) {
        return acc[cursor];
    }
    merging = false;
    return tap;
}

// Every tap of the entry at index a, by the convolution's merge rules (merge
// mode from the first shaped entry at or after a, append mode once past the
// last one), noting the hits its non-zero taps add into. The entries that an
// entry's taps add into do not decrease from tap to tap, so the hits are
// walked alongside. The last entry of the stretch makes no entry that a later
// one merges into: its appended taps need not be kept.
void entry_hits(ToTReplay& replay, SpanIt span, std::int64_t a, double t0, const std::int64_t* off,
                std::vector<std::int64_t>& acc, bool last) {
    const auto& spans = replay.spans();
    auto cursor = static_cast<std::size_t>(std::ranges::lower_bound(acc, a) - acc.begin());
    bool merging = cursor < acc.size();
    for (std::size_t i = 0; i < replay.kernel.size(); ++i) {
        const std::int64_t tap = replay.tap_index(i, a, t0, off);
        const std::int64_t target = merging ? merge_target(acc, cursor, merging, tap) : tap;
        if (!merging && !last && (acc.empty() || acc.back() != tap)) {
            acc.push_back(tap);
        }
        if (replay.kernel[i] == 0.0) {
            continue;
        }
        while (span != spans.end() && span->second < target) {
            ++span;
        }
        if (span == spans.end() && last) {
            break; // no hit lies further on, and no later entry needs this one's taps
        }
        if (span != spans.end() && span->first <= target) {
            replay.note(span, i);
        }
    }
}

// Adds a link for every hit noted and every PE of the PMT entries e to
// e_end (one index) with a non-zero amplitude: the entry's taps are the
// PEs' own, so each PE takes the hit's share of them. The share is of the
// taps that lie within any hit: the discriminator sees nothing of the taps
// below its threshold, so a pulse that makes one hit alone is wholly in it.
void add_entry_links(const ToTReplay& replay, const PmtEntries& pes, std::size_t e, std::size_t e_end,
                     std::vector<TruthLink>& links) {
    double in_hits = 0.0;
    for (const auto& hit : replay.hits_of) {
        in_hits += hit.second;
    }
    for (const auto& [h, weight] : replay.hits_of) {
        for (std::size_t m = e; m < e_end; ++m) {
            if (replay.trace.pe_amplitudes[pes[m].second] != 0.0) {
                links.push_back({.record = h, .pe = pes[m].second, .fraction = weight / in_hits});
            }
        }
    }
}

// Replays the stretch of PMT entries p to q, entry by entry in index order,
// from the first hit that ends at or after its first entry.
void stretch_links(ToTReplay& replay, const PmtEntries& pes, std::size_t p, std::size_t q, SpanIt first_hit,
                   std::vector<std::int64_t>& acc, std::vector<TruthLink>& links) {
    const auto& spans = replay.spans();
    acc.clear();
    for (std::size_t e = p; e <= q;) {
        const std::int64_t a = pes[e].first;
        std::size_t e_end = e;
        while (e_end <= q && pes[e_end].first == a) {
            ++e_end;
        }
        replay.hits_of.clear();
        const double t0 = static_cast<double>(a) * replay.step;
        const std::int64_t* off = replay.use_offsets ? replay.offsets.for_index(a) : nullptr;
        const bool merging = std::ranges::lower_bound(acc, a) != acc.end();
        const bool last = e_end > q;
        auto span = first_hit;
        while (span != spans.end() && span->second < a) {
            ++span;
        }
        if (!merging && last && off != nullptr && off[replay.nz_first] != TapOffsets::unknown &&
            off[replay.nz_last] != TapOffsets::unknown) {
            lone_entry_hits(replay, span, a, t0, off);
        } else {
            entry_hits(replay, span, a, t0, off, acc, last);
        }
        add_entry_links(replay, pes, e, e_end, links);
        e = e_end;
    }
}

// Adds a link for the PEs whose ToT-shaped pulse is non-zero at a shaped
// entry within a record's hit, with the share of the pulse's taps there. The convolution's merge rules are
// replayed on indices alone (no values), entry by entry in index order, but
// only over the stretches of PMT entries whose taps can reach a hit: entries
// further apart than the kernel's reach never merge, so a stretch that no
// hit meets is skipped whole.
void tot_links(const CallTrace& trace, std::vector<TruthLink>& links,
               std::optional<std::pair<const void*, TapOffsets>>& offsets_of) {
    const auto& spans = trace.tot_spans;
    if (spans.empty() || trace.tot_shape == nullptr || trace.tot_shape->kernel().empty()) {
        return;
    }
    const auto& kernel = trace.tot_shape->kernel();
    const double kernel_step = trace.tot_shape->time_step();
    const double step = trace.pmt_step;
    // No tap lands further than this after its entry (one step of slack for
    // the index rule's nudge).
    const auto reach =
        static_cast<std::int64_t>(std::ceil(static_cast<double>(kernel.size() - 1) * kernel_step / step)) + 1;
    const PmtEntries pes = pes_by_index(trace);
    // Where the tap offsets place every tap as the index rule does (the
    // model's convolution then streams with them), they stand in for the
    // index rule's division.
    // Worked out once per pulse shape and grid (every piece of a model shares them).
    if (!offsets_of || offsets_of->first != trace.tot_shape) {
        offsets_of.emplace(trace.tot_shape, TapOffsets(kernel.size(), kernel_step, step));
    }
    const bool use_offsets = [&] {
        SparseWaveform<double> ends(step);
        if (!pes.empty()) {
            ends.add_at_index(pes.front().first, 0.0);
            ends.add_at_index(pes.back().first, 0.0);
        }
        return trace.tot_shape->streams_exactly(ends);
    }();
    const auto [nz_first, nz_last] = nonzero_taps(kernel);
    if (nz_first > nz_last) {
        return; // no non-zero tap: no PE's pulse reaches anything
    }
    ToTReplay replay{
        .trace = trace,
        .kernel = kernel,
        .kernel_step = kernel_step,
        .step = step,
        .offsets = offsets_of->second,
        .use_offsets = use_offsets,
        .nz_first = nz_first,
        .nz_last = nz_last,
        .total = abs_sum(kernel),
        .hits_of = {},
    };
    std::vector<std::int64_t> acc; // the shaped entries of the stretch, by index
    std::size_t p = 0;
    while (p < pes.size()) {
        const auto [q, end] = stretch_from(pes, p, reach);
        const auto first_hit =
            std::ranges::lower_bound(spans, pes[p].first, {}, [](const auto& span) { return span.second; });
        // A stretch with no hit within its reach is skipped.
        if (first_hit != spans.end() && first_hit->first <= end) {
            stretch_links(replay, pes, p, q, first_hit, acc, links);
        }
        p = q + 1;
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
                                     std::vector<EarlyNotice>* early, const RunExtras& extras, PieceWork& work) const {
    const bool noise = std::is_same_v<Model, ZozuvUza> && extras.noise_seeds != nullptr;
    // ZozuvUza's windows always need the trace: it gives their first ADC indices.
    if (!extras.truth && !extras.saturation && !noise && !std::is_same_v<Model, ZozuvUza>) {
        append_timed(columns, simulate_piece(model, pe_times, piece, early), piece, work.trace);
        return;
    }
    CallTrace& trace = work.trace;
    trace.clear();
    trace.pes = extras.truth;
    trace.baseline_rng = nullptr;
    if (noise) {
        const auto& words = (*extras.noise_seeds)[index];
        std::seed_seq seq(words.begin(), words.end());
        work.noise_rng.seed(seq);
        trace.baseline_rng = &work.noise_rng;
        trace.baseline_gauss = draw::PolarNormal{};
    }
    const auto records = [&] {
        const CallTraceScope scope(trace);
        return simulate_piece(model, pe_times, piece, early);
    }();
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
    const auto scope = watch(cancel);
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
            run_piece(*copy, columns, pe_times, piece, index, times, early, extras, work);
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
    const auto scope = watch(cancel);
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
            run_piece(model, columns, pe_times, piece, index, times, early, extras, work);
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
