#pragma once

#include "Export.h"
#include "Interrupt.h"
#include "SparseWaveform.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace velmora {

// What a convolution reports of each tap when nobody asks: nothing, at no
// cost (the calls compile away).
struct NoTapReport {
    void operator()(std::int64_t /*entry*/, std::size_t /*tap*/, std::int64_t /*index*/,
                    std::int64_t /*target*/) const noexcept {}
};

namespace detail {

// The merge rules of the convolution, for one input entry whose taps land on
// the nondecreasing indices tap_index(i): the accumulated output `acc` is
// sorted, and its entries from position `from` on lie at or after the input
// entry's index. Merge mode: tap i adds into the first of those entries at or
// after its index (the cursor only moves forward); once it runs past the last
// one, append mode: the tap adds into the last entry when it lands there,
// else a new entry is appended. Output entries are thus only ever appended.
// Taps before `first_tap` are already spread; a `from` at the end starts in
// append mode. Each tap is reported as report(entry, i, its index, the index
// of the entry it added into), entry being the input entry's index.
template <typename T, typename TapIndex, typename Report>
void spread_entry(std::vector<std::pair<std::int64_t, T>>& acc, std::size_t from, std::size_t first_tap, T v,
                  const std::vector<T>& kernel, std::int64_t entry, TapIndex&& tap_index, Report&& report) {
    auto cursor = acc.begin() + static_cast<std::ptrdiff_t>(from);
    bool merging = cursor != acc.end();
    for (std::size_t i = first_tap; i < kernel.size(); ++i) {
        const std::int64_t e = tap_index(i);
        const T c = wrap_mul<T>(v, kernel[i]);
        if (merging) {
            while (cursor != acc.end() && cursor->first < e) {
                ++cursor;
            }
            if (cursor != acc.end()) {
                cursor->second = wrap_add<T>(c, cursor->second);
                report(entry, i, e, cursor->first);
                continue;
            }
            merging = false; // the cursor is not used again: appending may move the entries
        }
        if (!acc.empty() && acc.back().first == e) {
            acc.back().second = wrap_add<T>(c, acc.back().second);
        } else {
            acc.emplace_back(e, c);
        }
        report(entry, i, e, e);
    }
}

} // namespace detail

// Offsets from an input index a to the output index of each kernel tap, so
// that the index rule need not divide for every tap: where the fraction of
// x +- 0.001 (x = i * kernel_step / step; minus for negative times) keeps
// 7e-4 away from the integers, the index of tap i is a plus a fixed offset
// for every a that SparseConvolution::streams_exactly admits (see there).
// Taps closer to an integer, or reaching 2^20 input steps or more, are left
// to the index rule.
class VELMORA_EXPORT TapOffsets {
  public:
    static constexpr std::int64_t unknown = std::numeric_limits<std::int64_t>::min();

    TapOffsets(std::size_t taps, double kernel_step, double step);

    // The offsets for the entry at index a, one per tap (unknown where the
    // index rule decides), or nullptr when the entry's taps straddle time 0
    // or no offsets were worked out.
    const std::int64_t* for_index(std::int64_t a) const noexcept {
        if (a >= 0) {
            return positive_.empty() ? nullptr : positive_.data();
        }
        return a <= all_negative_below_ && !negative_.empty() ? negative_.data() : nullptr;
    }

    // Every tap has an offset on both sides.
    bool complete() const noexcept { return complete_; }

    // The largest offset on either side, where complete: the offsets grow
    // with the tap, so it is the last tap's.
    [[nodiscard]] std::int64_t max_offset() const noexcept {
        return complete_ && !positive_.empty() ? std::max(positive_.back(), negative_.back()) : unknown;
    }

  private:
    std::vector<std::int64_t> positive_; // offsets for a >= 0
    std::vector<std::int64_t> negative_; // offsets for a <= all_negative_below_
    std::int64_t all_negative_below_ = unknown;
    bool complete_ = false;
};

// A sampled causal impulse response: tap i lies i * time_step after the input
// entry that it spreads. Applied as given: no normalisation, reversal or
// centring.
template <typename T>
class VELMORA_EXPORT SparseConvolution {
  public:
    using Sample = typename SparseWaveform<T>::Sample;

    SparseConvolution(double time_step, std::vector<T> kernel) : time_step_(time_step), kernel_(std::move(kernel)) {}

    double time_step() const noexcept { return time_step_; }
    const std::vector<T>& kernel() const noexcept { return kernel_; }

    // Spreads every stored input entry over the taps, each tap placed by the
    // index rule. The output lies on the input's grid and stores exactly the
    // indices that some tap reaches (see detail::spread_entry for how the
    // contributions merge). Polls the thread's installed interrupt check
    // between input entries.
    template <typename U>
    [[nodiscard]] SparseWaveform<T> convolve(const SparseWaveform<U>& input) const {
        return convolve(input, InterruptCheck::installed(), NoTapReport{});
    }

    // The same, polling `interrupt` instead of the thread's installed check.
    template <typename U>
    [[nodiscard]] SparseWaveform<T> convolve(const SparseWaveform<U>& input, InterruptCheck interrupt) const {
        return convolve(input, interrupt, NoTapReport{});
    }

    // The same, reporting every tap of every input entry, entry by entry in
    // index order and tap by tap, as report(entry, i, index, target): the
    // input entry's index, the tap, the index the rule gives the tap and the
    // index of the stored entry that the merge rules added it into (at or
    // after its own index).
    template <typename U, typename Report>
    SparseWaveform<T> convolve(const SparseWaveform<U>& input, InterruptCheck interrupt, Report&& report) const {
        SparseWaveform<T> out(input.time_step());
        const auto& in = input.samples();
        if (kernel_.empty() || in.empty()) {
            return out;
        }
        const double out_step = input.time_step();
        std::vector<Sample> acc;
        std::size_t seen = 0;
        for (const auto& [a, v] : in) {
            interrupt.poll_every(seen++);
            const double t0 = static_cast<double>(a) * out_step;
            const auto from =
                std::lower_bound(acc.begin(), acc.end(), a, [](const auto& s, std::int64_t k) { return s.first < k; });
            detail::spread_entry(
                acc, static_cast<std::size_t>(from - acc.begin()), 0, static_cast<T>(v), kernel_, a,
                [&](std::size_t i) { return time_to_index(static_cast<double>(i) * time_step_ + t0, out_step); },
                report);
        }
        out.assign_sorted(std::move(acc));
        return out;
    }

    // Whether the streaming forms of this convolution place every tap of
    // every stored entry of `input` where the index rule does. They place tap
    // i of the entry at index a without dividing: at a + i when the kernel
    // lies on the input's own grid, else at a plus a TapOffsets offset, and
    // tap 0 on a itself. That holds while every tap stays less than 2^40
    // input steps from time 0 (runs of up to about 100 s on a 0.1 ns grid):
    // the index rule's quotient then differs from its exact value
    // a + x +- 0.001 (x = i * kernel_step / step) by less than 5e-4, so it
    // truncates to a + i on the own grid (the nudge of 0.001 alone), and to a
    // plus the offset wherever the fraction keeps 7e-4 from the integers.
    // Beyond, or for steps that are not finite and positive, the plain
    // convolution places every tap itself.
    template <typename U>
    bool streams_exactly(const SparseWaveform<U>& input) const {
        const double step = input.time_step();
        if (!(std::isfinite(step) && step > 0.0 && std::isfinite(time_step_) && time_step_ > 0.0)) {
            return false;
        }
        const auto& in = input.samples();
        if (in.empty() || kernel_.empty()) {
            return true;
        }
        constexpr std::int64_t limit = std::int64_t{1} << 40;
        const long double reach =
            std::ceil(static_cast<long double>(kernel_.size() - 1) * time_step_ / static_cast<long double>(step));
        if (!(reach < static_cast<long double>(limit))) {
            return false;
        }
        // |a| + reach < 2^40 for the first and the last entry, hence for all.
        const std::int64_t bound = limit - 1 - static_cast<std::int64_t>(reach);
        return in.front().first >= -bound && in.back().first <= bound;
    }

    // The entries of convolve(input), handed to sink(index, value) in
    // increasing index order as soon as no later input entry can change
    // them: an input entry at index a only ever adds to output entries at or
    // after a, so everything before a is final. Bit for bit the entries and
    // values of convolve where streams_exactly(input) holds; only the output
    // not yet final is held.
    template <typename U, typename Sink>
    void stream(const SparseWaveform<U>& input, Sink&& sink) const {
        std::vector<Sample> buffer;
        stream(input, sink, buffer);
    }

    // The same, accumulating in `buffer` (its content is replaced): a caller
    // that keeps it from call to call allocates nothing for it once it has
    // held as many entries. Polls `interrupt` between input entries, and
    // reports every tap as convolve does, in the same order and with the same
    // targets where streams_exactly(input) holds.
    template <typename U, typename Sink, typename Report = NoTapReport>
    void stream(const SparseWaveform<U>& input, Sink&& sink, std::vector<Sample>& buffer,
                InterruptCheck interrupt = InterruptCheck::installed(), Report&& report = {}) const;

  private:
    double time_step_;
    std::vector<T> kernel_;
};

namespace detail {

// Output entries already handed on before the buffer of a stream is
// compacted: compacting moves the rest, so it waits until the handed-on part
// is both this large and the larger half.
inline constexpr std::size_t min_compaction = 4096;

// Working out the tap offsets costs about as much as placing every tap of a
// few entries by the index rule; inputs of fewer entries go without them.
inline constexpr std::size_t min_entries_for_offsets = 16;

// Taps reaching further than this many input steps merge by walking the
// cursor: the table below would need a slot per step of the reach.
inline constexpr std::int64_t max_table_reach = 65536; // 2^16

// Where merge mode puts a tap without walking a cursor to it: for each output
// index x from the current input entry's index a up to the last accumulated
// entry, the first accumulated entry at or after x, which is where the cursor
// of the merge rules would stop for a tap landing on x. Entries are named by
// their sequence number (position plus the entries compacted away before
// them), which no compaction changes. Output entries are only ever appended
// and never lie more than the kernel's reach after a, so the indices in use
// fit a ring of slots one larger than the reach, each filled once.
class NextEntryTable {
  public:
    // A negative reach makes a table that is not used, and holds nothing.
    explicit NextEntryTable(std::int64_t reach) {
        if (reach < 0) {
            return;
        }
        std::size_t size = 1;
        while (size < static_cast<std::size_t>(reach) + 2) {
            size *= 2;
        }
        slots_.assign(size, 0);
        mask_ = size - 1;
    }

    // Maps the indices from a to the last of the entries, those before
    // position `head` handed on, `dropped` entries compacted away.
    template <typename Entries>
    void extend(const Entries& acc, std::size_t head, std::size_t dropped, std::int64_t a) {
        std::size_t q = std::max(mapped_seq_, dropped + head) - dropped;
        std::int64_t x = std::max(mapped_end_, a);
        for (; q < acc.size(); ++q) {
            for (; x <= acc[q].first; ++x) {
                slots_[static_cast<std::size_t>(x) & mask_] = q + dropped;
            }
        }
        mapped_end_ = x;
        mapped_seq_ = acc.size() + dropped;
    }

    // The sequence number of the first entry at or after x, for x from a to
    // the last entry's index.
    [[nodiscard]] std::size_t at(std::int64_t x) const noexcept { return slots_[static_cast<std::size_t>(x) & mask_]; }

  private:
    std::vector<std::size_t> slots_;
    std::size_t mask_ = 0;
    std::int64_t mapped_end_ = std::numeric_limits<std::int64_t>::min(); // indices below are mapped
    std::size_t mapped_seq_ = 0;                                         // entries before it are mapped
};

} // namespace detail

template <typename T>
template <typename U, typename Sink, typename Report>
void SparseConvolution<T>::stream(const SparseWaveform<U>& input, Sink&& sink, std::vector<Sample>& buffer,
                                  InterruptCheck interrupt, Report&& report) const {
    buffer.clear();
    const auto& in = input.samples();
    if (kernel_.empty() || in.empty()) {
        return;
    }
    const double step = input.time_step();
    const TapOffsets taps(in.size() >= detail::min_entries_for_offsets ? kernel_.size() : 0, time_step_, step);
    // With every offset known, a tap placed by the index rule (an entry whose
    // taps straddle time 0) lands where one side's offset puts it, so no tap
    // reaches past the largest offset; the table keeps one slot of slack.
    const std::int64_t reach = taps.max_offset();
    const bool use_table = reach != TapOffsets::unknown && reach < detail::max_table_reach;
    detail::NextEntryTable table(use_table ? reach + 1 : -1);
    std::vector<Sample>& acc = buffer;
    std::size_t head = 0;    // the first entry not yet handed on
    std::size_t dropped = 0; // entries compacted away
    std::size_t seen = 0;
    for (const auto& [a, value] : in) {
        interrupt.poll_every(seen++);
        while (head < acc.size() && acc[head].first < a) {
            sink(acc[head].first, acc[head].second);
            ++head;
        }
        if (head > detail::min_compaction && head * 2 > acc.size()) {
            acc.erase(acc.begin(), acc.begin() + static_cast<std::ptrdiff_t>(head));
            dropped += head;
            head = 0;
        }
        const T v = static_cast<T>(value);
        const double t0 = static_cast<double>(a) * step;
        const std::int64_t* offsets = taps.for_index(a);
        // Where each tap lands: from the offsets where known, else by the
        // index rule itself.
        const auto tap_index = [&](std::size_t i) {
            return offsets != nullptr && offsets[i] != TapOffsets::unknown
                       ? a + offsets[i]
                       : time_to_index(static_cast<double>(i) * time_step_ + t0, step);
        };
        if (offsets == nullptr || !use_table) {
            detail::spread_entry(acc, head, 0, v, kernel_, a, tap_index, report);
            continue;
        }
        // Merge mode as the merge rules have it, each tap's entry read from
        // the table instead of walking the cursor there: in a dense burst the
        // cursor passes several entries per tap, and this loop is where the
        // stream spends its time. The rest goes on in append mode.
        std::size_t i = 0;
        if (head < acc.size()) {
            table.extend(acc, head, dropped, a);
            const std::int64_t last = acc.back().first;
            for (; i < kernel_.size(); ++i) {
                const std::int64_t e = a + offsets[i];
                if (e > last) {
                    break;
                }
                auto& entry = acc[table.at(e) - dropped];
                entry.second = detail::wrap_add<T>(detail::wrap_mul<T>(v, kernel_[i]), entry.second);
                report(a, i, e, entry.first);
            }
        }
        detail::spread_entry(acc, acc.size(), i, v, kernel_, a, tap_index, report);
    }
    for (; head < acc.size(); ++head) {
        sink(acc[head].first, acc[head].second);
    }
}

extern template class SparseConvolution<double>;
extern template class SparseConvolution<int>;
extern template SparseWaveform<double> SparseConvolution<double>::convolve<double>(const SparseWaveform<double>&) const;
extern template SparseWaveform<int>
SparseConvolution<int>::convolve<unsigned short>(const SparseWaveform<unsigned short>&) const;
extern template SparseWaveform<double> SparseConvolution<double>::convolve<double>(const SparseWaveform<double>&,
                                                                                   InterruptCheck) const;
extern template SparseWaveform<int>
SparseConvolution<int>::convolve<unsigned short>(const SparseWaveform<unsigned short>&, InterruptCheck) const;

} // namespace velmora
