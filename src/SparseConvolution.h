#pragma once

#include "Export.h"
#include "Interrupt.h"
#include "SparseWaveform.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace velmora {

// A sampled causal impulse response: tap i lies i * time_step after the input
// entry that it spreads. Applied as given: no normalisation, reversal or
// centring.
template <typename T>
class VELMORA_EXPORT SparseConvolution {
  public:
    SparseConvolution(double time_step, std::vector<T> kernel) : time_step_(time_step), kernel_(std::move(kernel)) {}

    double time_step() const noexcept { return time_step_; }
    const std::vector<T>& kernel() const noexcept { return kernel_; }

    // Spreads every stored input entry over the taps. The output lies on the
    // input's grid and stores exactly the indices that some tap reaches. New
    // entries are only ever appended: an input entry first adds into output
    // entries that exist at or after its own index (merge mode) and appends
    // once it has run past the last one (append mode).
    template <typename U>
    SparseWaveform<T> convolve(const SparseWaveform<U>& input) const {
        SparseWaveform<T> out(input.time_step());
        const auto& in = input.samples();
        if (kernel_.empty() || in.empty()) {
            return out;
        }
        const double out_step = input.time_step();
        std::vector<typename SparseWaveform<T>::Sample> acc;
        std::size_t seen = 0;
        for (const auto& [a, v] : in) {
            poll_interrupt_every(seen++);
            const double t0 = static_cast<double>(a) * out_step;
            auto cursor =
                std::lower_bound(acc.begin(), acc.end(), a, [](const auto& s, std::int64_t k) { return s.first < k; });
            bool merging = cursor != acc.end();
            for (std::size_t i = 0; i < kernel_.size(); ++i) {
                const double t = static_cast<double>(i) * time_step_ + t0;
                const std::int64_t e = time_to_index(t, out_step);
                const T c = detail::wrap_mul<T>(static_cast<T>(v), kernel_[i]);
                if (merging) {
                    while (cursor != acc.end() && cursor->first < e) {
                        ++cursor;
                    }
                    if (cursor != acc.end()) {
                        cursor->second = detail::wrap_add<T>(c, cursor->second);
                        continue;
                    }
                    merging = false;
                }
                if (!acc.empty() && acc.back().first == e) {
                    acc.back().second = detail::wrap_add<T>(c, acc.back().second);
                } else {
                    acc.emplace_back(e, c);
                }
            }
        }
        out.assign_sorted(std::move(acc));
        return out;
    }

  private:
    double time_step_;
    std::vector<T> kernel_;
};

extern template class SparseConvolution<double>;
extern template class SparseConvolution<int>;
extern template SparseWaveform<double> SparseConvolution<double>::convolve<double>(const SparseWaveform<double>&) const;
extern template SparseWaveform<int>
SparseConvolution<int>::convolve<unsigned short>(const SparseWaveform<unsigned short>&) const;

} // namespace velmora
