#include "ChannelEngine.h"

#include "Interrupt.h"

#include <chrono>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora {

namespace {

// The ticks of the records' time stamps as whole numbers: per second, and
// nanoseconds per tick.
constexpr std::uint64_t nearest_whole(double x) {
    const auto whole = static_cast<std::uint64_t>(x);
    return x - static_cast<double>(whole) >= 0.5 ? whole + 1 : whole;
}
constexpr double seconds_per_tick = ostrelin::ZozuvUzaTrigger::SECONDS_PER_TICK;
constexpr std::uint64_t ticks_per_second = nearest_whole(1.0 / seconds_per_tick);
constexpr std::uint64_t nanoseconds_per_tick = nearest_whole(seconds_per_tick * 1e9);
static_assert(ticks_per_second * nanoseconds_per_tick == 1'000'000'000, "a tick is a whole number of nanoseconds");

} // namespace

void ZozuvUzaColumns::append(const std::vector<ostrelin::ZozuvUzaTrigger>& records, std::uint64_t origin_ticks) {
    for (const auto& r : records) {
        if (r.waveform.size() != waveform_samples) {
            throw std::length_error(
                "ZozuvUza record with " + std::to_string(r.waveform.size()) +
                " waveform samples where the run has waveform_samples = " + std::to_string(waveform_samples) + ".");
        }
        std::uint64_t seconds = r.trigger_time_s;
        std::uint64_t ticks = r.trigger_time_ticks;
        if (origin_ticks != 0) {
            const std::uint64_t total = seconds * ticks_per_second + ticks + origin_ticks;
            seconds = total / ticks_per_second;
            ticks = total % ticks_per_second;
            if (seconds > 0xFFFFFFFFu) {
                throw std::overflow_error("ZozuvUza record time beyond the 32-bit seconds counter.");
            }
        }
        channel.push_back(r.channel);
        trigger_time_s.push_back(static_cast<std::uint32_t>(seconds));
        trigger_time_ticks.push_back(static_cast<std::uint32_t>(ticks));
        time_ns.push_back(static_cast<std::int64_t>((seconds * 1'000'000'000) + (ticks * nanoseconds_per_tick)));
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

void append(ZozuvUzaColumns& columns, const std::vector<ostrelin::ZozuvUzaTrigger>& records,
            const ChannelPiece& piece) {
    columns.append(records, piece.origin_ticks);
}

void append(MultiPMTColumns& columns, const std::vector<ostrelin::MultiPMTTrigger>& records,
            const ChannelPiece& piece) {
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
    } else {
        columns.tdc_step = models_.front().tot_step(); // not a per-channel setting: every model shares it
    }
    return columns;
}

template <typename Model>
void ChannelEngine<Model>::append_timed(Columns& columns, const typename ColumnsOf<Model>::records& records,
                                        const ChannelPiece& piece) const {
    const auto start = std::chrono::steady_clock::now();
    append(columns, records, piece);
    const auto spent = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    columns_ns_->fetch_add(static_cast<std::uint64_t>(spent.count()), std::memory_order_relaxed);
}

template <typename Model>
typename ChannelEngine<Model>::Columns
ChannelEngine<Model>::simulate_independent(const std::vector<ChannelPiece>& pieces, const std::vector<double>& times,
                                           const std::atomic<bool>& cancel, std::vector<EarlyNotice>* early) const {
    for (const auto& piece : pieces) {
        check_piece(piece, times.size(), models_.size());
    }
    const auto scope = watch(cancel);
    Columns columns = new_columns();
    // One working copy per parameter set that the block uses: only the
    // generator of a model changes, and it is reseeded for every piece.
    std::vector<std::optional<Model>> copies(models_.size());
    std::vector<double> pe_times;
    for (const auto& piece : pieces) {
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
            append_timed(columns, simulate_piece(*copy, pe_times, piece, early), piece);
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
                                          const std::atomic<bool>& cancel, std::vector<EarlyNotice>* early) {
    for (const auto& piece : pieces) {
        check_piece(piece, times.size(), models_.size());
    }
    const auto scope = watch(cancel);
    Columns columns = new_columns();
    std::vector<double> pe_times;
    for (const auto& piece : pieces) {
        if (cancel.load(std::memory_order_relaxed)) {
            throw Cancelled{};
        }
        try {
            Model& model = models_[piece.model];
            // The one generator passes through whichever model runs the piece.
            model.generator() = sequential_rng_;
            pe_times.assign(times.begin() + static_cast<std::ptrdiff_t>(piece.first),
                            times.begin() + static_cast<std::ptrdiff_t>(piece.last));
            auto records = simulate_piece(model, pe_times, piece, early);
            sequential_rng_ = model.generator();
            append_timed(columns, records, piece);
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
