#pragma once

// The PMT response shared by both detector models: sampling distributions and
// pulse-shape kernels built from spectrum files, and the step that turns PE
// times into a PMT waveform.

#include "Distributions.h"
#include "Export.h"
#include "Interrupt.h"
#include "MersenneTwister.h"
#include "SparseConvolution.h"
#include "SparseWaveform.h"

#include <filesystem>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace velmora {

struct CallTrace; // what a call did beyond its records, in CallTrace.h

// The points of a spectrum or pulse-shape file held in memory, as
// ZozuvUza::read_spectrum gives them; `name` stands in for the file path in
// error messages.
struct SpectrumPoints {
    std::string name;
    std::vector<double> x;
    std::vector<double> y;
};

// Where a model takes a spectrum or pulse shape from: a file, read when the
// model is built, or points already in memory. Both are checked alike.
using SpectrumSource = std::variant<std::filesystem::path, SpectrumPoints>;

// Reads a spectrum or pulse-shape file: white-space separated numbers in the
// classic locale, taken in (x, y) pairs up to the first token that is no
// number, at least two pairs (else std::ios_base::failure). The one reader
// of the library; ZozuvUza::read_spectrum is this.
std::pair<std::vector<double>, std::vector<double>> read_spectrum_file(const std::filesystem::path& path);

// Reads a spectrum file (or takes the points) and builds the piecewise-linear
// distribution over its points. Contents that the reader accepts but that the
// distribution cannot take (x not strictly increasing, negative or non-finite
// weights, zero area) are rejected with std::invalid_argument naming the file
// and the fault.
std::piecewise_linear_distribution<double> load_distribution(const SpectrumSource& source);

// The same checks, giving the library's own piecewise-linear draws: the draws
// of load_distribution's distribution, with its tables computed once here.
draw::PiecewiseLinear load_spectrum(const SpectrumSource& source);

// Reads a pulse-shape file (or takes the points), checks that neighbouring
// times are `step` apart within 0.1 % (else std::ios_base::failure with
// `mismatch_message`) and returns its values as a kernel of that step.
SparseConvolution<double> load_pulse_shape(const SpectrumSource& source, double step,
                                           const std::string& mismatch_message);

// The time-offset range of a distribution: its first and last boundary.
struct TimeRange {
    double first;
    double last;
};
TimeRange time_range(const std::piecewise_linear_distribution<double>& distribution);
TimeRange time_range(const draw::PiecewiseLinear& distribution);

// Throws std::invalid_argument, before anything is drawn, for a PE time that
// is not finite, that lies more than max_pe_time_steps steps of `step` from
// time 0, or whose shifted time (by any offset in `offsets`) has no 64-bit
// index on the grid of `step`.
void check_pe_times(const std::vector<double>& pe_times, TimeRange offsets, double step);

// Per PE in input order: one time offset, then one amplitude; the amplitude is
// added at the shifted time on a grid of `step`. The result equals adding the
// PEs one by one with add_sample (same entries, same sums in the same order)
// at O(n log n) cost for unsorted input.
SparseWaveform<double> pe_to_waveform(const std::vector<double>& pe_times,
                                      std::piecewise_linear_distribution<double>& time_distribution,
                                      std::piecewise_linear_distribution<double>& amplitude_distribution, double step,
                                      std::mt19937& rng);

// The same, into `waveform` (on its own grid), whose storage is reused: a
// caller that keeps the waveform from call to call allocates nothing once it
// has held as many PEs.
void pe_to_waveform(const std::vector<double>& pe_times, std::piecewise_linear_distribution<double>& time_distribution,
                    std::piecewise_linear_distribution<double>& amplitude_distribution, std::mt19937& rng,
                    SparseWaveform<double>& waveform);

// The same draws through the library's own distributions and generator, as
// the models make them. Where `trace` asks for the PEs (trace->pes), each
// PE's draws and index are noted there. Polls `interrupt` between PEs.
void pe_to_waveform(const std::vector<double>& pe_times, const draw::PiecewiseLinear& time_distribution,
                    const draw::PiecewiseLinear& amplitude_distribution, MersenneTwister& rng,
                    SparseWaveform<double>& waveform, CallTrace* trace = nullptr,
                    InterruptCheck interrupt = InterruptCheck::installed());

// The object that a model keeps in `slot` from call to call, made from
// `args` on first use.
template <typename T, typename... Args>
T& kept(std::optional<T>& slot, Args&&... args) {
    return slot ? *slot : slot.emplace(std::forward<Args>(args)...);
}

// Working storage that a model keeps from call to call, made on first use.
// A copy starts without any: what the storage holds may refer to the stages
// of the model it came from.
template <typename T>
class KeptStorage {
  public:
    KeptStorage() = default;
    KeptStorage(const KeptStorage& /*other*/) {}
    KeptStorage& operator=(const KeptStorage& /*other*/) {
        storage_.reset();
        return *this;
    }
    ~KeptStorage() = default;

    T& get() { return storage_ ? *storage_ : storage_.emplace(); }

  private:
    std::optional<T> storage_;
};

// The delay calibration of both models: num_sim runs on num_pes PEs at time
// 0, channel 0; the runs that give exactly one record count, and the time of
// that record is averaged over them. `run(pe_times, time)` runs the model
// once, drawing and failing as simulate would, and returns how many records
// it gives, setting `time` to the first one's. Fails when fewer than half of
// the runs (rounded down) count. Polls `interrupt` between runs.
template <typename Run>
double calibrate_delay(std::size_t num_pes, std::size_t num_sim, InterruptCheck interrupt, Run run) {
    const std::vector<double> pe_times(num_pes, 0.0);
    double sum = 0.0;
    std::size_t valid = 0;
    for (std::size_t i = 0; i < num_sim; ++i) {
        interrupt.poll_every(i);
        double time = 0.0;
        if (run(pe_times, time) == 1) {
            sum += time;
            ++valid;
        }
    }
    if (valid < num_sim / 2) {
        throw std::runtime_error("Too many simulations did not produce a valid trigger. Calibration failed.");
    }
    return sum / static_cast<double>(valid);
}

} // namespace velmora
