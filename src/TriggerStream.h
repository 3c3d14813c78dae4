#pragma once

#include "Export.h"
#include "SparseWaveform.h"
#include "TriggerSettings.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace velmora {

// The filtered signal of ADC entries pushed one at a time in increasing index
// order, each filtered entry handed on once no later ADC entry can change it.
// Tap i of the entry at index k is read at k + i: where the trigger kernel
// streams exactly over the ADC waveform (SparseConvolution::streams_exactly),
// these are the entries and values of trigger_kernel().convolve; integer sums
// wrap, so their order is free.
class VELMORA_EXPORT TriggerFilter {
  public:
    explicit TriggerFilter(const TriggerSettings& settings);

    // Ready for the next call, as if just made; the storage stays.
    void restart();

    // Sink: (index, position in its run of consecutive indices, value), for
    // the filtered indices whose value can pass the threshold; the others are
    // not formed.
    template <typename Sink>
    void push(std::int64_t k, unsigned short value, Sink&& sink) {
        push_one(cursor_, ring(), k, value, sink);
    }

    // The same for a block of entries, in order. The filter's position and
    // its ring are held in locals across the block, where the compiler keeps
    // them in registers instead of reloading them around every entry (a
    // store into the ring could otherwise alias any int member).
    template <typename Entry, typename Sink>
    void push_block(const std::vector<Entry>& block, Sink&& sink) {
        Cursor c = cursor_;
        const Ring r = ring();
        for (const auto& [k, value] : block) {
            push_one(c, r, k, value, sink);
        }
        cursor_ = c;
    }

    template <typename Sink>
    void finish(Sink&& sink) {
        emit_until(cursor_, ring(), cursor_.covered_end, sink);
    }

    // Every filtered index still to come is at least this.
    [[nodiscard]] std::int64_t next_index() const noexcept { return cursor_.next; }

  private:
    // An index before any that a call can hold, with room to add a kernel length.
    static constexpr std::int64_t before_any = std::numeric_limits<std::int64_t>::min() / 2;

    // A sink may say from which index on it wants values (first_wanted());
    // the values before it are not formed.
    template <typename Sink>
    static std::int64_t first_wanted(const Sink& sink) {
        if constexpr (requires { sink.first_wanted(); }) {
            return sink.first_wanted();
        } else {
            return std::numeric_limits<std::int64_t>::min();
        }
    }

    // Where the filter stands in the stream.
    struct Cursor {
        std::int64_t last = before_any;        // index of the latest entry
        std::int64_t last_loud = before_any;   // of the latest value above quiet
        std::int64_t run_start = 0;            // first index of the current run
        std::int64_t next = 0;                 // the next filtered index to form
        std::int64_t covered_end = before_any; // the last filtered index that the entries reach
    };

    // The kernel and the ring of recent values, as plain pointers and sizes.
    struct Ring {
        const int* taps;
        std::int64_t size; // of the kernel
        int* values;
        std::size_t mask;
        int quiet;
    };

    [[nodiscard]] Ring ring() noexcept {
        return {
            .taps = taps_.data(),
            .size = static_cast<std::int64_t>(taps_.size()),
            .values = values_.data(),
            .mask = mask_,
            .quiet = quiet_,
        };
    }

    template <typename Sink>
    static void push_one(Cursor& c, const Ring& r, std::int64_t k, unsigned short value, Sink& sink) {
        if (k > c.covered_end + 1) {
            emit_until(c, r, c.covered_end, sink);
            c.run_start = k; // a gap: a new run of filtered indices
        } else {
            emit_until(c, r, k - 1, sink);
        }
        // Indices skipped since the latest entry read as 0 for the filtered
        // values that k reaches.
        const std::int64_t first_unset = std::max(c.last + 1, k - static_cast<std::int64_t>(r.mask));
        for (std::int64_t idx = first_unset; idx < k; ++idx) {
            r.values[static_cast<std::size_t>(idx) & r.mask] = 0;
        }
        r.values[static_cast<std::size_t>(k) & r.mask] = value;
        if (static_cast<int>(value) > r.quiet) {
            c.last_loud = k;
        }
        c.last = k;
        c.next = k;
        c.covered_end = k + r.size - 1;
    }

    // Forms the values of the indices from c.next to last that a loud entry
    // reaches: only they can pass the threshold.
    template <typename Sink>
    static void emit_until(Cursor& c, const Ring& r, std::int64_t last, Sink& sink) {
        const std::int64_t taps = r.size;
        const std::int64_t stop = std::min(last, c.last_loud + taps - 1);
        for (std::int64_t j = c.next; j <= stop; ++j) {
            if (j > c.last) {
                // After the latest entry: reads 0. Cleared only now, since its
                // slot served an index that the previous value read.
                r.values[static_cast<std::size_t>(j) & r.mask] = 0;
            }
            if (j < first_wanted(sink)) {
                continue; // the sink would discard it: not formed
            }
            int sum = 0;
            for (std::int64_t i = 0; i < taps; ++i) {
                const int v = r.values[static_cast<std::size_t>(j - i) & r.mask];
                sum = detail::wrap_add(sum, detail::wrap_mul(v, r.taps[i]));
            }
            sink(j, static_cast<std::uint64_t>(j - c.run_start), sum);
        }
        c.next = std::max(c.next, last + 1);
    }

    const std::vector<int>& taps_;
    int quiet_;
    // The values of the last indices up to the latest entry, one slot per
    // index, enough that the indices one filtered value reads never share a
    // slot; an index without an entry holds 0.
    std::vector<int> values_;
    std::size_t mask_ = 0;
    Cursor cursor_;
};

// The trigger of one call on ADC entries as they stream past: the filter and
// the decision as one unit. Each entry pushed in increasing index order may
// report triggers (the window start times, in seconds) once no later entry can
// change them; finish reports the rest. The same triggers, in the same order,
// as TriggerSim::simulate_plain on the whole ADC waveform.
class VELMORA_EXPORT TriggerStream {
  public:
    explicit TriggerStream(const TriggerSettings& settings) : filter_(settings), decision_(settings) {}

    // Ready for the next call, as if just made: a caller that keeps the
    // stream allocates nothing for it from call to call.
    void restart() {
        filter_.restart();
        decision_.restart();
        started_ = false;
    }

    template <typename OnTrigger>
    void push(std::int64_t k, unsigned short value, OnTrigger&& on_trigger) {
        if (!started_) {
            decision_.start(k); // the first filtered index is that of the first entry
            started_ = true;
        }
        filter_.push(k, value, Candidates<OnTrigger>{decision_, on_trigger});
    }

    // The entries of a block, in order, as push would take them one by one.
    template <typename Entry, typename OnTrigger>
    void push_block(const std::vector<Entry>& block, OnTrigger&& on_trigger) {
        if (block.empty()) {
            return;
        }
        if (!started_) {
            decision_.start(block.front().first);
            started_ = true;
        }
        filter_.push_block(block, Candidates<OnTrigger>{decision_, on_trigger});
    }

    template <typename OnTrigger>
    void finish(OnTrigger&& on_trigger) {
        filter_.finish(Candidates<OnTrigger>{decision_, on_trigger});
    }

    // Every trigger still to come is at or after this ADC index.
    [[nodiscard]] std::int64_t next_index() const noexcept { return filter_.next_index(); }

  private:
    // Runs for every filtered index that may pass: kept small, the rare
    // trigger goes out of line.
    template <typename OnTrigger>
    struct Candidates {
        TriggerDecision& decision;
        OnTrigger& on_trigger;
        void operator()(std::int64_t j, std::uint64_t run, int value) const {
            double trigger_time = 0.0;
            if (decision.candidate(j, run, value, trigger_time)) {
                on_trigger(trigger_time);
            }
        }
        // Inside the retrigger distance no value can trigger: the filter
        // need not form it.
        [[nodiscard]] std::int64_t first_wanted() const noexcept { return decision.first_candidate(); }
    };

    TriggerFilter filter_;
    TriggerDecision decision_;
    bool started_ = false;
};

} // namespace velmora
