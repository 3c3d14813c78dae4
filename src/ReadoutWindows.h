#pragma once

#include "SparseWaveform.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace velmora {

// The readout windows of one ZozuvUza call, filled from the ADC entries as
// they stream past in increasing index order, a block at a time. A window
// holds the waveform_samples samples from its start index on (missing
// entries read 0); it is complete once an entry at or after its end has been
// taken, or when the stream ends, and only then are its samples copied. Only
// the entries that a window still open or opened later may read are kept:
// each window costs a bisection of the kept entries plus its own length,
// never a scan of all of them, and an entry costs nothing per open window.
class ReadoutWindows {
  public:
    using Entry = SparseWaveform<unsigned short>::Sample;

    ReadoutWindows(double adc_step, int waveform_samples, int trigger_offset);

    // Ready for the next call: no window open, no entry kept. The storage
    // stays, so a caller that keeps the object allocates nothing for windows
    // and kept entries once it has held as many.
    void restart();

    // Opens the window of a trigger at trigger_time (seconds): it starts
    // trigger_offset ADC steps later.
    void open(double trigger_time);

    // The entries of `block` (the next ones of the stream) are taken: the
    // windows that end at or before the last of them are complete and go to
    // `done(start_time, samples)`, in the order they were opened; `samples()`
    // copies the window's samples out, for a caller that needs them, and
    // `samples(&present)` also sets present[j] to 1 where sample j has an
    // entry, else 0. No window
    // opened later starts before the window of a trigger at
    // `next_trigger_time`, so older entries may be dropped.
    template <typename Done>
    void take_block(const std::vector<Entry>& block, double next_trigger_time, Done&& done) {
        if (!block.empty()) {
            // Every index up to the block's last has been taken.
            block_cursor_ = 0;
            close_before(block.back().first + 1, &block, done);
        }
        keep(block, next_trigger_time);
    }

    // The stream has ended: every open window is complete.
    template <typename Done>
    void finish(Done&& done) {
        close_before(std::numeric_limits<std::int64_t>::max(), nullptr, done);
    }

  private:
    struct Window {
        double start; // seconds
        std::int64_t first;
    };

    // The first index of the window of a trigger at trigger_time. The last
    // index is first + waveform_samples - 1, not formed from the window's end
    // time: late in a run the two roundings could disagree by one, and a
    // window always holds exactly waveform_samples samples.
    [[nodiscard]] std::int64_t first_index(double trigger_time) const;

    // The samples of the window from `first` on: the kept entries, then
    // those of `block` (when given) that fall inside it; with `present`, which
    // of them have an entry.
    [[nodiscard]] std::vector<unsigned short> samples_from(std::int64_t first, const std::vector<Entry>* block,
                                                           std::vector<std::uint8_t>* present);

    // Completes, in order, the windows that end at or before index k.
    template <typename Done>
    void close_before(std::int64_t k, const std::vector<Entry>* block, Done& done) {
        for (; head_ < open_.size() && open_[head_].first + length_ <= k; ++head_) {
            const std::int64_t first = open_[head_].first;
            done(open_[head_].start, [this, first, block](std::vector<std::uint8_t>* present = nullptr) {
                return samples_from(first, block, present);
            });
        }
        if (head_ == open_.size()) {
            open_.clear();
            head_ = 0;
        }
    }

    // Drops the kept entries that no window can read any more and keeps
    // those of the block that one may still read.
    void keep(const std::vector<Entry>& block, double next_trigger_time);

    double step_;
    std::int64_t length_;
    double offset_time_;
    std::vector<Window> open_; // from head_ on, in the order opened (and of their start)
    std::size_t head_ = 0;
    // Entries of earlier blocks from kept_head_ on, in increasing index order.
    std::vector<Entry> kept_;
    std::size_t kept_head_ = 0;
    // Where the previous window's entries began, in the kept entries and in
    // the block in hand: the next window's lie at or after them.
    std::size_t kept_cursor_ = 0;
    std::size_t block_cursor_ = 0;
};

} // namespace velmora
