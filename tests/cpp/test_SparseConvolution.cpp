#include "SparseConvolution.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora {
namespace {

using DEntries = std::vector<SparseWaveform<double>::Sample>;
using IEntries = std::vector<SparseWaveform<int>::Sample>;

template <typename T>
SparseWaveform<T> waveform(double step, const std::vector<std::pair<std::int64_t, T>>& entries) {
    SparseWaveform<T> w(step);
    for (const auto& [index, value] : entries) {
        w.add_at_index(index, value);
    }
    return w;
}

TEST(SparseConvolution, EmptyKernelOrInputGivesEmptyOutputOnTheInputGrid) {
    const SparseWaveform<double> input = waveform<double>(0.25e-9, {{3, 1.0}, {4, 2.0}});
    const SparseWaveform<double> no_input(0.25e-9);

    const auto from_empty_kernel = SparseConvolution<double>(1e-9, {}).convolve(input);
    EXPECT_TRUE(from_empty_kernel.empty());
    EXPECT_EQ(from_empty_kernel.time_step(), 0.25e-9);

    const auto from_empty_input = SparseConvolution<double>(1e-9, {1.0, 2.0}).convolve(no_input);
    EXPECT_TRUE(from_empty_input.empty());
    EXPECT_EQ(from_empty_input.time_step(), 0.25e-9);
}

// Tap 0 falls on the input entry's own index, for any sign of the index.
class SparseConvolutionSingleEntry : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(SparseConvolutionSingleEntry, SpreadsOverTheTaps) {
    const std::int64_t a = GetParam();
    const double step = 4e-9;
    const SparseConvolution<double> conv(step, {1.0, 0.5, 0.25});
    const auto out = conv.convolve(waveform<double>(step, {{a, 2.0}}));
    EXPECT_EQ(out.time_step(), step);
    EXPECT_EQ(out.samples(), (DEntries{{a, 2.0}, {a + 1, 1.0}, {a + 2, 0.5}}));
}

INSTANTIATE_TEST_SUITE_P(Indices, SparseConvolutionSingleEntry,
                         ::testing::Values(0, 5, -1, -2, -3, -7, 1'000'000, -1'000'000));

TEST(SparseConvolution, OverlappingEntriesAddUp) {
    const SparseConvolution<double> conv(1.0, {1.0, 2.0, 3.0});
    const auto out = conv.convolve(waveform<double>(1.0, {{0, 1.0}, {2, 10.0}}));
    EXPECT_EQ(out.samples(), (DEntries{{0, 1.0}, {1, 2.0}, {2, 13.0}, {3, 20.0}, {4, 30.0}}));
}

TEST(SparseConvolution, DistantEntriesGiveSeparateRuns) {
    const SparseConvolution<double> conv(1.0, {1.0, 2.0, 3.0});
    const auto out = conv.convolve(waveform<double>(1.0, {{-20, 1.0}, {0, 1.0}, {3, 2.0}}));
    EXPECT_EQ(out.samples(), (DEntries{{-20, 1.0},
                                       {-19, 2.0},
                                       {-18, 3.0}, // nothing stored in between
                                       {0, 1.0},
                                       {1, 2.0},
                                       {2, 3.0}, // 3 touches the run before it
                                       {3, 2.0},
                                       {4, 4.0},
                                       {5, 6.0}}));
}

TEST(SparseConvolution, ZeroTapsAreStored) {
    const SparseConvolution<double> conv(1.0, {0.0, 1.5, 0.0, 0.0});
    const auto out = conv.convolve(waveform<double>(1.0, {{4, 2.0}}));
    EXPECT_EQ(out.samples(), (DEntries{{4, 0.0}, {5, 3.0}, {6, 0.0}, {7, 0.0}}));
}

// A kernel twice as coarse as the input grid: the second entry's taps fall
// between the first one's and add into the next existing entry until they
// pass the last one.
TEST(SparseConvolution, CoarserKernelAddsIntoNextExistingEntry) {
    const SparseConvolution<double> conv(2.0, {1.0, 1.0, 1.0});
    const auto out = conv.convolve(waveform<double>(1.0, {{0, 1.0}, {1, 10.0}}));
    EXPECT_EQ(out.time_step(), 1.0);
    EXPECT_EQ(out.samples(), (DEntries{{0, 1.0}, {2, 11.0}, {4, 11.0}, {5, 10.0}}));
}

// A kernel finer than the input grid: consecutive taps land on one index.
TEST(SparseConvolution, FinerKernelSumsTapsIntoOneEntry) {
    const SparseConvolution<double> half(0.5e-9, {1.0, 2.0, 3.0, 4.0, 5.0});
    EXPECT_EQ(half.convolve(waveform<double>(1e-9, {{0, 2.0}})).samples(), (DEntries{{0, 6.0}, {1, 14.0}, {2, 10.0}}));

    // 0.3 steps from 10: taps at 10, 10.3, 10.6, 10.9 | 11.2, 11.5, 11.8 | 12.1 (10.9 is not within the nudge
    // of 11). From -1, the taps at -0.7 ... 0.8 all map to 0: negative times round toward zero.
    const SparseConvolution<double> finer(0.3, {1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0});
    EXPECT_EQ(finer.convolve(waveform<double>(1.0, {{-1, 1.0}, {10, 2.0}})).samples(),
              (DEntries{{-1, 1.0}, {0, 6.0}, {1, 1.0}, {10, 8.0}, {11, 6.0}, {12, 2.0}}));
}

TEST(SparseConvolution, IntKernelOverAdcSamplesGivesSignedInts) {
    const SparseConvolution<int> conv(4e-9, {-3, 1, 2});
    const SparseWaveform<unsigned short> adc = waveform<unsigned short>(4e-9, {{7, 1000}, {8, 65535}});
    const auto out = conv.convolve(adc);
    static_assert(std::is_same_v<decltype(out), const SparseWaveform<int>>);
    EXPECT_EQ(out.time_step(), 4e-9);
    EXPECT_EQ(out.samples(), (IEntries{{7, -3000}, {8, 1000 - 3 * 65535}, {9, 2000 + 65535}, {10, 2 * 65535}}));
}

// Nothing proportional to the covered span is ever built: two entries 10^15
// samples apart give two runs of K entries.
TEST(SparseConvolution, GapsCostNothing) {
    const std::int64_t far = 1'000'000'000'000'000;
    const SparseConvolution<double> conv(1.0, {1.0, 2.0, 3.0, 4.0, 5.0});
    const auto out = conv.convolve(waveform<double>(1.0, {{-far, 1.0}, {0, 1.0}, {far, 2.0}}));
    ASSERT_EQ(out.size(), 3u * conv.kernel().size());
    for (std::size_t i = 0; i < conv.kernel().size(); ++i) {
        const auto k = static_cast<std::int64_t>(i);
        EXPECT_EQ(out.samples()[i], (std::pair<std::int64_t, double>{-far + k, 1.0 + k}));
        EXPECT_EQ(out.samples()[5 + i], (std::pair<std::int64_t, double>{k, 1.0 + k}));
        EXPECT_EQ(out.samples()[10 + i], (std::pair<std::int64_t, double>{far + k, 2.0 + 2.0 * k}));
    }
}

// ---------------------------------------------------------------------------
// With equal steps, convolve is the plain discrete convolution. The reference
// works on a dense array over the covered range, adds the contributions to each
// output index in increasing input-index order and stores every index a + i.
// ---------------------------------------------------------------------------

template <typename T, typename U>
std::vector<std::pair<std::int64_t, T>> dense_convolution(const SparseWaveform<U>& input,
                                                          const std::vector<T>& kernel) {
    const auto& in = input.samples();
    const std::int64_t lo = in.front().first;
    const std::int64_t hi = in.back().first + static_cast<std::int64_t>(kernel.size()) - 1;
    std::vector<T> sum(static_cast<std::size_t>(hi - lo + 1), T{});
    std::vector<bool> stored(sum.size(), false);
    for (const auto& [a, v] : in) {
        for (std::size_t i = 0; i < kernel.size(); ++i) {
            const auto j = static_cast<std::size_t>(a - lo) + i;
            const T c = static_cast<T>(v) * kernel[i];
            sum[j] = stored[j] ? sum[j] + c : c;
            stored[j] = true;
        }
    }
    std::vector<std::pair<std::int64_t, T>> out;
    for (std::size_t j = 0; j < sum.size(); ++j) {
        if (stored[j]) {
            out.emplace_back(lo + static_cast<std::int64_t>(j), sum[j]);
        }
    }
    return out;
}

template <typename T>
bool same_value(T a, T b) {
    if constexpr (std::is_same_v<T, double>) {
        return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); // tells -0.0 from 0.0
    } else {
        return a == b;
    }
}

// Random sparse input: a few clusters of entries, so that runs both overlap
// and stay apart; the values include zeros and negative zeros (for double).
template <typename U>
SparseWaveform<U> random_input(std::mt19937& rng, double step) {
    SparseWaveform<U> w(step);
    std::uniform_int_distribution<int> clusters(1, 4), cluster_size(1, 8), start(-200, 200), gap(1, 4);
    std::uniform_int_distribution<int> pick(0, 9);
    for (int c = clusters(rng); c > 0; --c) {
        std::int64_t index = start(rng);
        for (int n = cluster_size(rng); n > 0; --n, index += gap(rng)) {
            if constexpr (std::is_same_v<U, double>) {
                const int p = pick(rng);
                const double value = std::uniform_real_distribution<double>(-2.0, 2.0)(rng);
                w.add_at_index(index, p == 0 ? 0.0 : p == 1 ? -0.0 : value);
            } else {
                w.add_at_index(index, static_cast<U>(std::uniform_int_distribution<int>(0, 65535)(rng)));
            }
        }
    }
    return w;
}

template <typename T>
std::vector<T> random_kernel(std::mt19937& rng) {
    std::vector<T> kernel(std::uniform_int_distribution<std::size_t>(1, 12)(rng));
    std::uniform_int_distribution<int> pick(0, 4);
    for (T& tap : kernel) {
        if constexpr (std::is_same_v<T, double>) {
            tap = pick(rng) == 0 ? 0.0 : std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
        } else {
            tap = pick(rng) == 0 ? 0 : std::uniform_int_distribution<int>(-40, 40)(rng);
        }
    }
    return kernel;
}

template <typename T, typename U>
void check_against_dense(double step, unsigned first_seed, unsigned seeds) {
    for (unsigned seed = first_seed; seed < first_seed + seeds; ++seed) {
        std::mt19937 rng(seed);
        const SparseWaveform<U> input = random_input<U>(rng, step);
        const SparseConvolution<T> conv(step, random_kernel<T>(rng));
        const auto out = conv.convolve(input);
        const auto want = dense_convolution(input, conv.kernel());
        ASSERT_EQ(out.time_step(), step) << "seed " << seed;
        ASSERT_EQ(out.size(), want.size()) << "seed " << seed;
        for (std::size_t j = 0; j < want.size(); ++j) {
            const auto& [index, value] = out.samples()[j];
            ASSERT_EQ(index, want[j].first) << "seed " << seed << ", entry " << j;
            ASSERT_TRUE(same_value(value, want[j].second))
                << "seed " << seed << ", index " << index << ": " << value << " != " << want[j].second;
        }
    }
}

class SparseConvolutionEqualSteps : public ::testing::TestWithParam<double> {};

TEST_P(SparseConvolutionEqualSteps, DoubleMatchesDenseConvolution) {
    check_against_dense<double, double>(GetParam(), 1, 300);
}

TEST_P(SparseConvolutionEqualSteps, IntOverUnsignedShortMatchesDenseConvolution) {
    check_against_dense<int, unsigned short>(GetParam(), 1001, 300);
}

INSTANTIATE_TEST_SUITE_P(Steps, SparseConvolutionEqualSteps, ::testing::Values(1.0, 0.1e-9, 0.3e-9, 4e-9));

// ---------------------------------------------------------------------------
// Where the streaming forms may place taps without the index rule: every tap
// less than 2^40 input steps from time 0, steps finite and positive.
// ---------------------------------------------------------------------------

constexpr std::int64_t kLimit = std::int64_t{1} << 40;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ExactCase {
    std::string name;
    double kernel_step;
    double step;
    std::size_t taps;
    std::vector<std::int64_t> indices;
    bool exact;
};

class SparseConvolutionStreamsExactly : public ::testing::TestWithParam<ExactCase> {};

TEST_P(SparseConvolutionStreamsExactly, AtTheEdgesOfTheRange) {
    const ExactCase& c = GetParam();
    const SparseConvolution<double> conv(c.kernel_step, std::vector<double>(c.taps, 0.5));
    SparseWaveform<double> input(c.step);
    for (const std::int64_t a : c.indices) {
        input.add_at_index(a, 1.0);
    }
    ASSERT_EQ(conv.streams_exactly(input), c.exact);
    if (!c.exact) {
        return;
    }
    // Where it holds, the stream gives the convolution's entries bit for bit.
    std::vector<SparseWaveform<double>::Sample> streamed;
    conv.stream(input, [&](std::int64_t index, double value) { streamed.emplace_back(index, value); });
    EXPECT_EQ(streamed, conv.convolve(input).samples());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SparseConvolutionStreamsExactly,
    ::testing::Values(
        // On the kernel's own grid the last tap of the last entry lands on a + taps - 1.
        ExactCase{"own_grid_last_tap_below_limit", 1.0, 1.0, 3, {0, kLimit - 3}, true},
        ExactCase{"own_grid_last_tap_at_limit", 1.0, 1.0, 3, {0, kLimit - 2}, false},
        ExactCase{"own_grid_negative_inside", 1.0, 1.0, 3, {-(kLimit - 3), 0}, true},
        ExactCase{"own_grid_negative_outside", 1.0, 1.0, 3, {-(kLimit - 2), 0}, false},
        // A kernel five input steps per tap reaches ten steps with three taps.
        ExactCase{"coarse_kernel_inside", 5.0, 1.0, 3, {kLimit - 11}, true},
        ExactCase{"coarse_kernel_outside", 5.0, 1.0, 3, {kLimit - 10}, false},
        ExactCase{"lowest_index", 1.0, 1.0, 1, {std::numeric_limits<std::int64_t>::min()}, false},
        ExactCase{"highest_index", 1.0, 1.0, 1, {std::numeric_limits<std::int64_t>::max()}, false},
        ExactCase{"empty_input", 1.0, 1.0, 3, {}, true}, ExactCase{"input_step_zero", 1.0, 0.0, 3, {0}, false},
        ExactCase{"input_step_nan", 1.0, kNaN, 3, {0}, false},
        ExactCase{"kernel_step_negative", -1.0, 1.0, 3, {0}, false},
        ExactCase{"kernel_step_infinite", std::numeric_limits<double>::infinity(), 1.0, 3, {0}, false}),
    [](const ::testing::TestParamInfo<ExactCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// The taps a convolution reports: every tap of every input entry, entry by
// entry and tap by tap, with the index the rule gives it and the entry it
// added into. The reference knows nothing of cursors or tables: a tap adds
// into the first entry at or after its index among those that earlier input
// entries made, else into its own index.
// ---------------------------------------------------------------------------

using Tap = std::tuple<std::int64_t, std::size_t, std::int64_t, std::int64_t>; // entry, tap, index, target

std::vector<Tap> reference_taps(const SparseWaveform<double>& input, double kernel_step, std::size_t taps) {
    std::vector<Tap> out;
    std::set<std::int64_t> made;
    const double step = input.time_step();
    for (const auto& [a, v] : input.samples()) {
        const double t0 = static_cast<double>(a) * step;
        std::vector<std::int64_t> targets;
        for (std::size_t i = 0; i < taps; ++i) {
            const std::int64_t e = time_to_index((static_cast<double>(i) * kernel_step) + t0, step);
            const auto next = made.lower_bound(e);
            const std::int64_t target = next != made.end() ? *next : e;
            out.emplace_back(a, i, e, target);
            targets.push_back(target);
        }
        made.insert(targets.begin(), targets.end());
    }
    return out;
}

// Dense clusters of entries (enough for the stream's tap offsets and table),
// some far apart, some before time 0.
SparseWaveform<double> clustered_input(std::mt19937& rng, double step) {
    SparseWaveform<double> w(step);
    std::uniform_int_distribution<int> clusters(1, 4), cluster_size(1, 30), start(-3000, 3000), gap(1, 12);
    for (int c = clusters(rng); c > 0; --c) {
        std::int64_t index = start(rng);
        for (int n = cluster_size(rng); n > 0; --n, index += gap(rng)) {
            w.add_at_index(index, std::uniform_real_distribution<double>(0.0, 2.0)(rng));
        }
    }
    return w;
}

struct TapSteps {
    std::string name;
    double kernel_step;
    double step;
};

void PrintTo(const TapSteps& c, std::ostream* os) {
    *os << c.name;
}

class SparseConvolutionTaps : public ::testing::TestWithParam<TapSteps> {};

TEST_P(SparseConvolutionTaps, ReportedTargetsAreThoseOfThePlainMergeRule) {
    const TapSteps& c = GetParam();
    for (unsigned seed = 1; seed <= 200; ++seed) {
        std::mt19937 rng(seed);
        const SparseWaveform<double> input = clustered_input(rng, c.step);
        const std::size_t taps = std::uniform_int_distribution<std::size_t>(1, 40)(rng);
        const SparseConvolution<double> conv(c.kernel_step, std::vector<double>(taps, 0.5));
        const auto want = reference_taps(input, c.kernel_step, taps);
        const auto recorder = [](std::vector<Tap>& into) {
            return [&into](std::int64_t entry, std::size_t tap, std::int64_t index, std::int64_t target) {
                into.emplace_back(entry, tap, index, target);
            };
        };

        std::vector<Tap> convolved;
        const auto out = conv.convolve(input, InterruptCheck(), recorder(convolved));
        ASSERT_EQ(convolved, want) << "convolve, seed " << seed;
        // Asking for the report changes nothing of the output.
        ASSERT_EQ(out.samples(), conv.convolve(input).samples()) << "seed " << seed;

        if (!conv.streams_exactly(input)) {
            continue;
        }
        std::vector<Tap> streamed;
        std::vector<SparseWaveform<double>::Sample> buffer;
        std::vector<SparseWaveform<double>::Sample> entries;
        conv.stream(
            input, [&](std::int64_t index, double value) { entries.emplace_back(index, value); }, buffer,
            InterruptCheck(), recorder(streamed));
        ASSERT_EQ(streamed, want) << "stream, seed " << seed;
        ASSERT_EQ(entries, out.samples()) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, SparseConvolutionTaps,
                         ::testing::Values(TapSteps{"own_grid", 0.1e-9, 0.1e-9},
                                           TapSteps{"coarser_by_ten", 1e-9, 0.1e-9},
                                           TapSteps{"coarser_by_three", 0.3e-9, 0.1e-9},
                                           TapSteps{"coarser_by_two_and_a_half", 0.25e-9, 0.1e-9},
                                           TapSteps{"finer", 0.04e-9, 0.1e-9}),
                         [](const ::testing::TestParamInfo<TapSteps>& info) { return info.param.name; });

} // namespace
} // namespace velmora
