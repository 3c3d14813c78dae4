#pragma once

#include "SparseWaveform.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace velmora {

// The readout windows of one ZozuvUza call, filled from the ADC entries as
// they stream past in increasing index order. A window holds the
// waveform_samples samples from its start index on (missing entries read 0);
// it is complete once an entry at or after its end has been taken, or when
// the stream ends. Only the entries that a window opened later may still read
// are kept: each window costs a bisection of the kept entries plus its own
// length, never a scan of all of them.
class ReadoutWindows {
  public:
    using Entry = SparseWaveform<unsigned short>::Sample;

    ReadoutWindows(double adc_step, int waveform_samples, int trigger_offset);

    // The next block of entries, read in place while it is in hand. The
    // block must stay unchanged until end_block.
    void begin_block(const std::vector<Entry>& block);

    // Entry i of the block is taken: the windows that end at or before its
    // index are complete and go to `done(start_time, samples)`, in the order
    // they were opened; the entry is written into the open windows that hold
    // it.
    template <typename Done>
    void take(std::size_t i, Done&& done) {
        const auto [k, v] = (*block_)[i];
        seen_ = i + 1;
        close_before(k, done);
        for (std::size_t p = head_; p < open_.size(); ++p) {
            Window& w = open_[p];
            if (k >= w.first && k < w.first + length_) {
                w.samples[static_cast<std::size_t>(k - w.first)] = v;
            }
        }
    }

    // Opens the window of a trigger at trigger_time (seconds): it starts
    // trigger_offset ADC steps later and is filled at once from the entries
    // taken so far.
    void open(double trigger_time);

    // The block's entries join the kept ones. No window opened later starts
    // before the window of a trigger at `next_trigger_time`, so older entries
    // may be dropped (those of windows still open are kept).
    void end_block(double next_trigger_time);

    // The stream has ended: every open window is complete.
    template <typename Done>
    void finish(Done&& done) {
        close_before(std::numeric_limits<std::int64_t>::max(), done);
    }

  private:
    struct Window {
        double start; // seconds
        std::int64_t first;
        std::vector<unsigned short> samples;
    };

    // The first index of the window of a trigger at trigger_time. The last
    // index is first + waveform_samples - 1, not formed from the window's end
    // time: late in a run the two roundings could disagree by one, and a
    // window always holds exactly waveform_samples samples.
    [[nodiscard]] std::int64_t first_index(double trigger_time) const;

    template <typename Done>
    void close_before(std::int64_t k, Done& done) {
        for (; head_ < open_.size() && open_[head_].first + length_ <= k; ++head_) {
            done(open_[head_].start, std::move(open_[head_].samples));
        }
        if (head_ == open_.size()) {
            open_.clear();
            head_ = 0;
        }
    }

    double step_;
    std::int64_t length_;
    double offset_time_;
    std::vector<Window> open_; // from head_ on, in the order opened (and of their start)
    std::size_t head_ = 0;
    // Entries of earlier blocks from kept_head_ on, in increasing index order.
    std::vector<Entry> kept_;
    std::size_t kept_head_ = 0;
    std::size_t prune_at_;
    const std::vector<Entry>* block_ = nullptr;
    std::size_t seen_ = 0; // entries of the block taken so far
};

} // namespace velmora
