#include "ReadoutWindows.h"

#include <algorithm>

namespace velmora {

namespace {

// The first of the entries [first, last), sorted by index, at or after index
// `from`, searched forward from `hint` (at or before it) by doubling steps and
// then bisection: O(log d) for an answer d entries past the hint. Windows
// close in increasing index order, so the answer for the next window lies
// near the previous one.
std::size_t find_from(const std::vector<ReadoutWindows::Entry>& entries, std::size_t hint, std::int64_t from) {
    if (hint > entries.size() || (hint > 0 && entries[hint - 1].first >= from)) {
        hint = 0; // not at or before the answer: search all
    }
    std::size_t lo = hint;
    std::size_t stride = 1;
    while (lo + stride < entries.size() && entries[lo + stride].first < from) {
        lo += stride;
        stride *= 2;
    }
    const auto hi = std::min(entries.size(), lo + stride + 1);
    const auto it = std::lower_bound(entries.begin() + static_cast<std::ptrdiff_t>(lo),
                                     entries.begin() + static_cast<std::ptrdiff_t>(hi), from,
                                     [](const ReadoutWindows::Entry& e, std::int64_t k) { return e.first < k; });
    return static_cast<std::size_t>(it - entries.begin());
}

// Copies the entries from position `at` on that fall in [from, from + samples.size()),
// marking them in `present` when given.
void copy_window(std::int64_t from, std::vector<unsigned short>& samples,
                 const std::vector<ReadoutWindows::Entry>& entries, std::size_t at,
                 std::vector<std::uint8_t>* present) {
    const auto end = from + static_cast<std::int64_t>(samples.size());
    for (; at < entries.size() && entries[at].first < end; ++at) {
        samples[static_cast<std::size_t>(entries[at].first - from)] = entries[at].second;
        if (present != nullptr) {
            (*present)[static_cast<std::size_t>(entries[at].first - from)] = 1;
        }
    }
}

} // namespace

ReadoutWindows::ReadoutWindows(double adc_step, int waveform_samples, int trigger_offset)
    : step_(adc_step), length_(waveform_samples), offset_time_(static_cast<double>(trigger_offset) * adc_step) {}

void ReadoutWindows::restart() {
    open_.clear();
    head_ = 0;
    kept_.clear();
    kept_head_ = 0;
    kept_cursor_ = 0;
    block_cursor_ = 0;
}

std::int64_t ReadoutWindows::first_index(double trigger_time) const {
    return time_to_index(trigger_time + offset_time_, step_);
}

void ReadoutWindows::open(double trigger_time) {
    open_.push_back({.start = trigger_time + offset_time_, .first = first_index(trigger_time)});
}

std::vector<unsigned short> ReadoutWindows::samples_from(std::int64_t first, const std::vector<Entry>* block,
                                                         std::vector<std::uint8_t>* present) {
    std::vector<unsigned short> samples(static_cast<std::size_t>(length_), 0);
    if (present != nullptr) {
        present->assign(static_cast<std::size_t>(length_), 0);
    }
    kept_cursor_ = find_from(kept_, std::max(kept_cursor_, kept_head_), first);
    copy_window(first, samples, kept_, kept_cursor_, present);
    if (block != nullptr) {
        block_cursor_ = find_from(*block, block_cursor_, first);
        copy_window(first, samples, *block, block_cursor_, present);
    }
    return samples;
}

void ReadoutWindows::keep(const std::vector<Entry>& block, double next_trigger_time) {
    // No window still open or opened later reads an entry before keep_from:
    // the open windows start at or after the first of them, and a window
    // opened later at or after that of a trigger at next_trigger_time.
    std::int64_t keep_from = first_index(next_trigger_time);
    if (head_ < open_.size()) {
        keep_from = std::min(keep_from, open_[head_].first);
    }
    while (kept_head_ < kept_.size() && kept_[kept_head_].first < keep_from) {
        ++kept_head_;
    }
    // Dropped entries leave the vector once they are the larger part of it.
    if (kept_head_ * 2 > kept_.size()) {
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(kept_head_));
        kept_cursor_ -= std::min(kept_cursor_, kept_head_);
        kept_head_ = 0;
    }
    // Of the block, only the entries from keep_from on are kept.
    const auto from = std::ranges::lower_bound(block, keep_from, {}, &Entry::first);
    kept_.insert(kept_.end(), from, block.end());
}

} // namespace velmora
