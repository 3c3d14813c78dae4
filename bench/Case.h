#pragma once

// One (detector, workload) pair, measured three ways:
//   (1) the model's simulate (for a PE list, one call per entry in order, records concatenated);
//   (2) the detector's plain composition of its stages for the same work;
//   (3) the draw floor: exactly the random draws that (1) makes, in number and kind, from a std::mt19937
//       through the same standard distributions, and nothing else.
// Before any of them is timed, prepare() checks that (2) gives exactly the records of (1) for the same
// seed and leaves the generator in the same state; otherwise the run stops with a message. This check is
// the one place where the benchmark asserts correctness.
//
// A Detector (ZozuvUzaBench, MultiPMTBench) provides: Model and Record types, make_model(), plain(),
// plain_peak_bytes(), pmt_waveform(), floor(), floor_keeps_draw_order, delay(), same() and seed().

#include "Common.h"
#include "DetectorBench.h"
#include "Memory.h"
#include "Report.h"
#include "Workloads.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace velmora::bench {

template <typename Record>
struct Outcome {
    std::vector<Record> records;
    double delay = 0.0;  // calibration only
    std::string failure; // calibration only: the message of a failed calibration
};

template <typename Detector>
bool same_outcome(const Outcome<typename Detector::Record>& a, const Outcome<typename Detector::Record>& b) {
    return a.failure == b.failure && same_bits(a.delay, b.delay) && a.records.size() == b.records.size() &&
           std::equal(a.records.begin(), a.records.end(), b.records.begin(), Detector::same);
}

// Where two outcomes part, for the message of a failed check.
template <typename Detector>
std::string difference(const Outcome<typename Detector::Record>& a, const Outcome<typename Detector::Record>& b) {
    if (a.failure != b.failure || !same_bits(a.delay, b.delay)) {
        return "delay " + format("%.17g", a.delay) + " \"" + a.failure + "\" against " + format("%.17g", b.delay) +
               " \"" + b.failure + "\"";
    }
    const auto [it, _] =
        std::mismatch(a.records.begin(), a.records.end(), b.records.begin(), b.records.end(), Detector::same);
    return std::to_string(a.records.size()) + " records against " + std::to_string(b.records.size()) +
           ", the first difference at record " + std::to_string(it - a.records.begin());
}

template <typename Record>
void append(std::vector<Record>& all, std::vector<Record>&& more) {
    if (all.empty()) {
        all = std::move(more);
    } else {
        all.insert(all.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
}

// (1): the model's own calls.
template <typename Detector>
Outcome<typename Detector::Record> run_model(typename Detector::Model& model, const Workload& w) {
    Outcome<typename Detector::Record> out;
    if (w.calibration) {
        try {
            out.delay = model.calibrate_delay(1, w.calls.size());
        } catch (const std::runtime_error& e) {
            out.failure = e.what();
        }
        return out;
    }
    for (const Call& call : w.calls) {
        append(out.records, model.simulate(call.pe_times, call.channel));
    }
    return out;
}

// (2): the stages one after another; for a calibration, its averaging over the runs with one record.
template <typename Detector>
Outcome<typename Detector::Record> run_plain(Detector& det, const Workload& w, std::mt19937& rng,
                                             std::vector<Draws>* draws, AdcPath path = AdcPath::plain) {
    Outcome<typename Detector::Record> out;
    if (draws != nullptr) {
        draws->assign(w.calls.size(), Draws{});
    }
    double sum = 0.0;
    std::size_t valid = 0;
    for (std::size_t i = 0; i < w.calls.size(); ++i) {
        auto records =
            det.plain(w.calls[i].pe_times, w.calls[i].channel, rng, draws != nullptr ? &(*draws)[i] : nullptr, path);
        if (!w.calibration) {
            append(out.records, std::move(records));
        } else if (records.size() == 1) {
            sum += Detector::delay(records.front());
            ++valid;
        }
    }
    if (w.calibration) {
        if (valid < w.calls.size() / 2) {
            out.failure = "Too many simulations did not produce a valid trigger. Calibration failed.";
        } else {
            out.delay = sum / static_cast<double>(valid);
        }
    }
    return out;
}

// (3) and (4): the draws alone, through the standard engine and distributions or the library's own.
template <typename Detector, typename Generator>
double run_floor(Detector& det, const std::vector<Draws>& draws, Generator& rng) {
    double sink = 0.0;
    for (const Draws& d : draws) {
        det.floor(d, rng, sink);
    }
    return sink;
}

// Everything about one (detector, workload) pair. Prepared on first use, so that --benchmark_filter
// also skips the preparation of the cases it leaves out.
template <typename Detector>
class Case {
  public:
    Case(std::shared_ptr<Detector> det, Workload w, double plain_limit_gib, Row& row)
        : det_(std::move(det)), w_(std::move(w)), plain_limit_gib_(plain_limit_gib), row_(row),
          model_(det_->make_model()), plain_rng_(seed()), floor_rng_(seed()),
          own_floor_rng_(static_cast<MersenneTwister::result_type>(seed())) {}

    [[nodiscard]] std::string label() const { return row_.model + "/" + w_.key; }
    [[nodiscard]] std::string name(const char* what) const { return label() + "/" + what; }

    void prepare() {
        if (prepared_) {
            return;
        }
        prepared_ = true;

        // One call of (1) from the seed: its peak memory, and the reference for (2).
        typename Detector::Model reference = det_->make_model();
        Outcome<typename Detector::Record> expected;
        row_.peak_mib = peak_mib([&] { expected = run_model<Detector>(reference, w_); });
        if (!w_.calibration) {
            row_.result = std::to_string(expected.records.size());
        } else {
            row_.result = expected.failure.empty() ? format("%.3f ns", expected.delay * 1e9) : "fails";
        }

        const double need_gib = plain_peak_gib();
        if (need_gib > plain_limit_gib_) {
            row_.plain_note = format("needs ~%.1f GiB", need_gib) + format(" (limit %.1f GiB)", plain_limit_gib_);
            std::cout << "check " << name("plain") << ": skipped, the full convolution " << row_.plain_note
                      << "; draw counts from the optimised ADC stage\n"
                      << std::flush;
            std::mt19937 rng(seed());
            run_plain(*det_, w_, rng, &draws_, AdcPath::optimised);
            return;
        }
        check_plain(reference, expected);
    }

    void bench_model(benchmark::State& state) {
        prepare();
        for (auto _ : state) {
            auto out = run_model<Detector>(model_, w_);
            benchmark::DoNotOptimize(out.records.data());
            benchmark::DoNotOptimize(out.delay);
        }
        set_counters(state);
    }

    void bench_plain(benchmark::State& state) {
        prepare();
        if (!row_.plain_note.empty()) {
            state.SkipWithError(("plain composition skipped: " + row_.plain_note).c_str());
        }
        for (auto _ : state) {
            auto out = run_plain(*det_, w_, plain_rng_, nullptr);
            benchmark::DoNotOptimize(out.records.data());
            benchmark::DoNotOptimize(out.delay);
        }
        set_counters(state);
    }

    void bench_floor(benchmark::State& state) {
        prepare();
        for (auto _ : state) {
            benchmark::DoNotOptimize(run_floor(*det_, draws_, floor_rng_));
        }
        set_counters(state);
    }

    void bench_own_floor(benchmark::State& state) {
        prepare();
        for (auto _ : state) {
            benchmark::DoNotOptimize(run_floor(*det_, draws_, own_floor_rng_));
        }
        set_counters(state);
    }

  private:
    // (2) from the seed must give exactly the outcome of (1) and leave the generator in the same state,
    // which a further call on both shows; the draw floor must consume the generator as (2) did where it
    // keeps the order of the draws. Counts the draws of every call on the way.
    void check_plain(Detector::Model& reference, const Outcome<typename Detector::Record>& expected) {
        std::mt19937 rng(seed());
        const auto actual = run_plain(*det_, w_, rng, &draws_);
        if (!same_outcome<Detector>(expected, actual)) {
            fail("BUG: " + name("plain") + " differs from " + name("simulate") + ": " +
                 difference<Detector>(actual, expected));
        }
        const std::mt19937 after_workload = rng;

        const Workload probe = flashes(20, 20, 1e-6);
        const auto probe_expected = run_model<Detector>(reference, probe);
        const auto probe_actual = run_plain(*det_, probe, rng, nullptr);
        if (probe_expected.records.empty()) {
            fail("the probe call gives no record on " + label() + ", so it cannot compare generator states");
        }
        if (!same_outcome<Detector>(probe_expected, probe_actual)) {
            fail("BUG: after " + label() +
                 " the generator states differ: a further call of the plain composition "
                 "gives " +
                 difference<Detector>(probe_actual, probe_expected) + " of the model");
        }

        std::mt19937 floor_rng(seed());
        run_floor(*det_, draws_, floor_rng);
        if (Detector::floor_keeps_draw_order && !(floor_rng == after_workload)) {
            fail("BUG: the draw floor of " + label() + " does not make the draws of the composition");
        }
        MersenneTwister own_floor_rng(static_cast<MersenneTwister::result_type>(seed()));
        const double own_sink = run_floor(*det_, draws_, own_floor_rng);
        std::mt19937 standard_again(seed());
        if (!(own_floor_rng == floor_rng) || !same_bits(own_sink, run_floor(*det_, draws_, standard_again))) {
            fail("BUG: the own draw floor of " + label() + " does not make the draws of the standard one");
        }
        std::cout << "check " << name("plain") << ": the same " << describe(expected) << " as " << name("simulate")
                  << ", and the same generator state after"
                  << (Detector::floor_keeps_draw_order ? "; the floor makes the same draws" : "") << "\n"
                  << std::flush;
    }

    [[nodiscard]] std::string describe(const Outcome<typename Detector::Record>& out) const {
        if (!w_.calibration) {
            return std::to_string(out.records.size()) + " records";
        }
        return out.failure.empty() ? "delay " + format("%.6f ns", out.delay * 1e9) : "failure \"" + out.failure + "\"";
    }

    [[nodiscard]] int seed() const { return det_->seed(); }

    void set_counters(benchmark::State& state) const {
        state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(w_.num_pes));
    }

    // The largest peak of one call of the plain composition, estimated on PMT waveforms made with a
    // scratch generator: the drawn offsets and amplitudes barely change how many entries they have.
    [[nodiscard]] double plain_peak_gib() const {
        std::mt19937 scratch(seed());
        double peak = 0.0;
        for (const Call& call : w_.calls) {
            peak = std::max(peak, det_->plain_peak_bytes(det_->pmt_waveform(call.pe_times, scratch)));
        }
        return peak / (1024.0 * 1024.0 * 1024.0);
    }

    std::shared_ptr<Detector> det_;
    Workload w_;
    double plain_limit_gib_;
    Row& row_;
    Detector::Model model_;
    std::mt19937 plain_rng_;
    std::mt19937 floor_rng_;
    MersenneTwister own_floor_rng_;
    std::vector<Draws> draws_;
    bool prepared_ = false;
};

} // namespace velmora::bench
