#include "ReadoutWindows.h"

#include <algorithm>

namespace velmora {

namespace {

// The fewest kept entries between two prunings: pruning then looks at the
// oldest entries only every so often, at a constant cost per entry.
constexpr std::size_t min_prune_interval = 4096;

// Copies the entries of [first, last), sorted by index, that fall in [from, from + samples.size()).
void copy_window(std::int64_t from, std::vector<unsigned short>& samples, const ReadoutWindows::Entry* first,
                 const ReadoutWindows::Entry* last) {
    const auto end = from + static_cast<std::int64_t>(samples.size());
    const auto* it =
        std::lower_bound(first, last, from, [](const ReadoutWindows::Entry& e, std::int64_t k) { return e.first < k; });
    for (; it != last && it->first < end; ++it) {
        samples[static_cast<std::size_t>(it->first - from)] = it->second;
    }
}

} // namespace

ReadoutWindows::ReadoutWindows(double adc_step, int waveform_samples, int trigger_offset)
    : step_(adc_step), length_(waveform_samples), offset_time_(static_cast<double>(trigger_offset) * adc_step),
      prune_at_(min_prune_interval) {}

std::int64_t ReadoutWindows::first_index(double trigger_time) const {
    return time_to_index(trigger_time + offset_time_, step_);
}

void ReadoutWindows::begin_block(const std::vector<Entry>& block) {
    block_ = &block;
    seen_ = 0;
}

void ReadoutWindows::open(double trigger_time) {
    Window w{
        .start = trigger_time + offset_time_,
        .first = first_index(trigger_time),
        .samples = std::vector<unsigned short>(static_cast<std::size_t>(length_), 0),
    };
    copy_window(w.first, w.samples, kept_.data() + kept_head_, kept_.data() + kept_.size());
    if (block_ != nullptr) {
        copy_window(w.first, w.samples, block_->data(), block_->data() + seen_);
    }
    open_.push_back(std::move(w));
}

void ReadoutWindows::end_block(double next_trigger_time) {
    kept_.insert(kept_.end(), block_->begin(), block_->end());
    block_ = nullptr;
    seen_ = 0;
    if (kept_.size() - kept_head_ < prune_at_) {
        return;
    }
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
        kept_head_ = 0;
    }
    prune_at_ = std::max(min_prune_interval, 2 * (kept_.size() - kept_head_));
}

} // namespace velmora
