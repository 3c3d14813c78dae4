#include "PMTResponse.h"

#include "CallTrace.h"
#include "Interrupt.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iomanip>
#include <ios>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace velmora {

std::pair<std::vector<double>, std::vector<double>> read_spectrum_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in.is_open()) {
        throw std::ios_base::failure("Failed to open spectrum file: " + path.native(), std::io_errc::stream);
    }
    in.imbue(std::locale::classic());
    std::vector<double> x;
    std::vector<double> y;
    double a = 0.0;
    double b = 0.0;
    while (in >> a >> b) {
        x.push_back(a);
        y.push_back(b);
    }
    in.close();
    if (x.size() < 2) {
        throw std::ios_base::failure("Spectrum file must contain at least two data points.", std::io_errc::stream);
    }
    return {std::move(x), std::move(y)};
}

namespace {

[[noreturn]] void reject_spectrum(const std::string& path, const std::string& fault) {
    throw std::invalid_argument("Spectrum file " + path + ": " + fault);
}

// Stable sort of deposits by index: least-significant-digit radix sort over
// the offsets from the smallest index, digits of equal width (at most 12 or
// 16 bits, see below), only as many passes as the index range needs. Linear
// in the number of deposits.
void stable_sort_by_index(std::vector<SparseWaveform<double>::Sample>& deposits) {
    using Sample = SparseWaveform<double>::Sample;
    if (deposits.size() < 64) {
        // Insertion sort: stable, in place, and the quickest for a few deposits.
        for (std::size_t i = 1; i < deposits.size(); ++i) {
            const Sample d = deposits[i];
            std::size_t j = i;
            for (; j > 0 && d.first < deposits[j - 1].first; --j) {
                deposits[j] = deposits[j - 1];
            }
            deposits[j] = d;
        }
        return;
    }
    const auto [lo, hi] = std::minmax_element(deposits.begin(), deposits.end(),
                                              [](const Sample& a, const Sample& b) { return a.first < b.first; });
    const std::int64_t base = lo->first;
    const std::uint64_t range = static_cast<std::uint64_t>(hi->first) - static_cast<std::uint64_t>(base);
    // As few passes as the range needs, with digits of at most 12 bits (16
    // for 65536 deposits and more, where the larger count table pays off).
    const int range_bits = 64 - __builtin_clzll(range | 1);
    const int max_bits = deposits.size() >= (std::size_t{1} << 16) ? 16 : 12;
    const int passes = (range_bits + max_bits - 1) / max_bits;
    const int bits = (range_bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << bits;
    std::vector<Sample> buffer(deposits.size());
    std::vector<std::size_t> offsets(buckets);
    for (int shift = 0; shift < 64 && (range >> shift) != 0; shift += bits) {
        std::fill(offsets.begin(), offsets.end(), 0);
        const auto digit = [&](const Sample& d) {
            return ((static_cast<std::uint64_t>(d.first) - static_cast<std::uint64_t>(base)) >> shift) & (buckets - 1);
        };
        for (const auto& d : deposits) {
            ++offsets[digit(d)];
        }
        std::size_t total = 0;
        for (auto& o : offsets) {
            const std::size_t count = o;
            o = total;
            total += count;
        }
        for (const auto& d : deposits) {
            buffer[offsets[digit(d)]++] = d;
        }
        deposits.swap(buffer);
    }
}

} // namespace

namespace {

// The points of a source and the name that messages give it. Points in
// memory pass the reader's own check on their number.
struct LoadedPoints {
    std::string name;
    std::vector<double> x;
    std::vector<double> y;
};

LoadedPoints load_points(const SpectrumSource& source) {
    if (const auto* path = std::get_if<std::filesystem::path>(&source)) {
        auto [x, y] = read_spectrum_file(*path);
        return {path->native(), std::move(x), std::move(y)};
    }
    const auto& points = std::get<SpectrumPoints>(source);
    if (points.x.size() != points.y.size()) {
        throw std::invalid_argument("Spectrum " + points.name + ": x and y must have the same length.");
    }
    if (points.x.size() < 2) {
        throw std::ios_base::failure("Spectrum file must contain at least two data points.", std::io_errc::stream);
    }
    return {points.name, points.x, points.y};
}

// The points of a spectrum, checked for what the distribution can take.
LoadedPoints checked_spectrum(const SpectrumSource& source) {
    auto loaded = load_points(source);
    const auto& [path, x, y] = loaded;
    double area = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!std::isfinite(x[i]) || !std::isfinite(y[i])) {
            reject_spectrum(path, "values must be finite (point " + std::to_string(i + 1) + ").");
        }
        if (y[i] < 0.0) {
            reject_spectrum(path, "weights must not be negative (point " + std::to_string(i + 1) + ").");
        }
        if (i > 0) {
            if (!(x[i - 1] < x[i])) {
                reject_spectrum(path, "x values must strictly increase (points " + std::to_string(i) + " and " +
                                          std::to_string(i + 1) + ").");
            }
            area += 0.5 * (y[i - 1] + y[i]) * (x[i] - x[i - 1]);
        }
    }
    if (!(area > 0.0) || !std::isfinite(area)) {
        reject_spectrum(path, "the weights enclose no finite positive area.");
    }
    // A draw in an interval evaluates den^2 + 2 |slope| p at most (den the
    // density at its start, slope that of the interval, both normalised to
    // unit area; p <= 1), and the distribution forms each slope from the raw
    // weights before normalising. Weights too large for their spacing
    // overflow there, and every draw in the interval would come out NaN.
    for (std::size_t i = 1; i < x.size(); ++i) {
        const double raw_slope = (y[i] - y[i - 1]) / (x[i] - x[i - 1]);
        const double den = y[i - 1] / area;
        const double den_end = y[i] / area;
        if (!std::isfinite(raw_slope) || !std::isfinite(den * den + 2.0 * std::abs(raw_slope / area)) ||
            !std::isfinite(den_end * den_end)) {
            reject_spectrum(path, "the weights are too large for their spacing (points " + std::to_string(i) + " and " +
                                      std::to_string(i + 1) + "): the distribution's arithmetic overflows.");
        }
    }
    return loaded;
}

} // namespace

std::piecewise_linear_distribution<double> load_distribution(const SpectrumSource& source) {
    const auto [path, x, y] = checked_spectrum(source);
    return std::piecewise_linear_distribution<double>(x.begin(), x.end(), y.begin());
}

draw::PiecewiseLinear load_spectrum(const SpectrumSource& source) {
    const auto [path, x, y] = checked_spectrum(source);
    return {x, y};
}

SparseConvolution<double> load_pulse_shape(const SpectrumSource& source, double step,
                                           const std::string& mismatch_message) {
    auto [name, x, y] = load_points(source);
    for (std::size_t i = 1; i < x.size(); ++i) {
        const double d = (x[i] - x[i - 1]) - step;
        if (std::abs(d) > 0.001 * step) {
            throw std::ios_base::failure(mismatch_message, std::io_errc::stream);
        }
    }
    return SparseConvolution<double>(step, std::move(y));
}

TimeRange time_range(const std::piecewise_linear_distribution<double>& distribution) {
    const auto bounds = distribution.intervals();
    return {bounds.front(), bounds.back()};
}

TimeRange time_range(const draw::PiecewiseLinear& distribution) {
    return {.first = distribution.lower(), .last = distribution.upper()};
}

void check_pe_times(const std::vector<double>& pe_times, TimeRange offsets, double step) {
    // Leave headroom below 2^63 for the kernel taps and window arithmetic that
    // follow the deposits: shifted times must stay within 2^62 steps of 0.
    const double limit = 4611686018427387904.0 * step; // 2^62 steps
    const double latest = max_pe_time_steps * step;
    for (const double t : pe_times) {
        if (!std::isfinite(t)) {
            throw std::invalid_argument("PE times must be finite; got " + std::to_string(t) + ".");
        }
        if (!(std::abs(t) <= latest)) {
            std::ostringstream message;
            message.imbue(std::locale::classic());
            message << std::setprecision(10) << "PE time " << t << " s lies beyond " << latest
                    << " s (2^40 PMT time steps from time 0), the latest time that is simulated exactly; "
                       "simulate long runs relative to a nearer time origin.";
            throw std::invalid_argument(message.str());
        }
        if (!(std::abs(t + offsets.first) < limit && std::abs(t + offsets.last) < limit)) {
            throw std::invalid_argument("PE time " + std::to_string(t) +
                                        " s is out of range: its sample index does not fit a 64-bit integer.");
        }
    }
}

SparseWaveform<double> pe_to_waveform(const std::vector<double>& pe_times,
                                      std::piecewise_linear_distribution<double>& time_distribution,
                                      std::piecewise_linear_distribution<double>& amplitude_distribution, double step,
                                      std::mt19937& rng) {
    SparseWaveform<double> waveform(step);
    pe_to_waveform(pe_times, time_distribution, amplitude_distribution, rng, waveform);
    return waveform;
}

namespace {

template <typename Distribution, typename Generator>
void deposit_pes(const std::vector<double>& pe_times, Distribution& time_distribution,
                 Distribution& amplitude_distribution, Generator& rng, SparseWaveform<double>& waveform,
                 CallTrace* pe_trace, InterruptCheck interrupt) {
    const double step = waveform.time_step();
    std::vector<SparseWaveform<double>::Sample> deposits = waveform.release();
    deposits.clear();
    deposits.reserve(pe_times.size());
    bool sorted = true;
    CallTrace* trace = pe_trace != nullptr && pe_trace->pes ? pe_trace : nullptr;
    if (trace != nullptr) {
        trace->pe_offsets.reserve(pe_times.size());
        trace->pe_amplitudes.reserve(pe_times.size());
        trace->pe_indices.reserve(pe_times.size());
    }
    for (const double t : pe_times) {
        interrupt.poll_every(deposits.size());
        const double dt = time_distribution(rng);
        const double a = amplitude_distribution(rng);
        deposits.emplace_back(time_to_index(t + dt, step), a);
        sorted = sorted && (deposits.size() < 2 || deposits[deposits.size() - 2].first <= deposits.back().first);
        if (trace != nullptr) {
            trace->pe_offsets.push_back(dt);
            trace->pe_amplitudes.push_back(a);
            trace->pe_indices.push_back(deposits.back().first);
        }
    }
    // A stable sort keeps the PEs of one index in input order, so each sum is
    // formed in the same order as by one-by-one insertion.
    if (!sorted) {
        stable_sort_by_index(deposits);
    }
    std::size_t out = 0;
    for (std::size_t i = 0; i < deposits.size(); ++i) {
        if (out > 0 && deposits[out - 1].first == deposits[i].first) {
            deposits[out - 1].second = deposits[out - 1].second + deposits[i].second;
        } else {
            deposits[out++] = deposits[i];
        }
    }
    deposits.resize(out);
    waveform.assign_sorted(std::move(deposits));
}

} // namespace

void pe_to_waveform(const std::vector<double>& pe_times, std::piecewise_linear_distribution<double>& time_distribution,
                    std::piecewise_linear_distribution<double>& amplitude_distribution, std::mt19937& rng,
                    SparseWaveform<double>& waveform) {
    deposit_pes(pe_times, time_distribution, amplitude_distribution, rng, waveform, nullptr,
                InterruptCheck::installed());
}

void pe_to_waveform(const std::vector<double>& pe_times, const draw::PiecewiseLinear& time_distribution,
                    const draw::PiecewiseLinear& amplitude_distribution, MersenneTwister& rng,
                    SparseWaveform<double>& waveform, CallTrace* trace, InterruptCheck interrupt) {
    deposit_pes(pe_times, time_distribution, amplitude_distribution, rng, waveform, trace, interrupt);
}

} // namespace velmora
