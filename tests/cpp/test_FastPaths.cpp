// The stages' fast paths against their plain composition, bit for bit: the
// same entries, the same values, and the generator in the same state after
// the call. Every configuration is random; a failure names its seed.

#include "ADCSim.h"
#include "ToTSim.h"
#include "TriggerSim.h"
#include "TriggerStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace velmora {
namespace {

template <typename T>
bool same_bits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// A PMT waveform of isolated deposits, dense bursts, or both, at positive and
// negative times; sometimes empty.
SparseWaveform<double> random_pmt(std::mt19937& setup, double step, std::int64_t centre) {
    SparseWaveform<double> w(step);
    const int kind = std::uniform_int_distribution<int>(0, 4)(setup);
    if (kind == 0) {
        return w;
    }
    const int n = std::uniform_int_distribution<int>(1, 300)(setup);
    std::uniform_real_distribution<double> amp(0.05, 3.0);
    for (int i = 0; i < n; ++i) {
        std::int64_t index = 0;
        if (kind == 1 || (kind == 3 && i % 2 == 0)) {
            index = centre + std::uniform_int_distribution<std::int64_t>(-2000000, 2000000)(setup); // isolated
        } else {
            index = centre + std::uniform_int_distribution<std::int64_t>(-40, 400)(setup); // a burst
        }
        w.add_at_index(index, kind == 4 && i % 7 == 0 ? 0.0 : amp(setup));
    }
    return w;
}

std::vector<double> random_kernel(std::mt19937& setup) {
    const int taps = std::uniform_int_distribution<int>(2, 500)(setup);
    std::vector<double> k(static_cast<std::size_t>(taps));
    std::uniform_real_distribution<double> value(-0.2, 1.0);
    for (auto& x : k) {
        x = std::uniform_int_distribution<int>(0, 9)(setup) == 0 ? 0.0 : value(setup);
    }
    return k;
}

class AdcFastPath : public ::testing::TestWithParam<unsigned> {};

TEST_P(AdcFastPath, EqualsThePlainComposition) {
    const unsigned seed = GetParam();
    std::mt19937 setup(seed);
    const double pmt_step = std::uniform_real_distribution<double>(0.05e-9, 0.5e-9)(setup);
    // ADC steps that are and are not whole multiples of the PMT step.
    const double adc_step = pmt_step * (std::uniform_int_distribution<int>(0, 1)(setup) == 0
                                            ? std::uniform_int_distribution<int>(1, 60)(setup)
                                            : std::uniform_real_distribution<double>(1.0, 60.0)(setup));
    const int ratio = static_cast<int>(time_to_index(adc_step, pmt_step));
    const int jitter = std::uniform_int_distribution<int>(-1, ratio + 1)(setup);
    const double noise = std::uniform_int_distribution<int>(0, 2)(setup) == 0 ? 0.0 : 3.0;
    const ADCSim adc(adc_step, SparseConvolution<double>(pmt_step, random_kernel(setup)), jitter, 30.0, 5.0, 2000.0,
                     noise, 4095.0);
    // Far from zero too, up to the edge of the range where taps land exactly.
    const std::int64_t centres[] = {0, -1000, 123456789, -(std::int64_t{1} << 39), (std::int64_t{1} << 40) - 3000};
    const std::int64_t centre = centres[std::uniform_int_distribution<int>(0, 4)(setup)];
    const SparseWaveform<double> pmt = random_pmt(setup, pmt_step, centre);

    std::mt19937 rng_fast(seed + 1000);
    std::mt19937 rng_plain(seed + 1000);
    const auto fast = adc.simulate(pmt, rng_fast);
    const auto plain = adc.simulate_plain(pmt, rng_plain);
    std::ostringstream config;
    config << "seed " << seed << ", pmt step " << pmt_step << ", ratio " << ratio << ", jitter " << jitter << ", taps "
           << adc.pulse_shape().kernel().size() << ", entries " << pmt.size() << ", centre " << centre;
    ASSERT_EQ(fast.time_step(), plain.time_step()) << config.str();
    ASSERT_EQ(fast.samples(), plain.samples()) << config.str();
    EXPECT_TRUE(rng_fast == rng_plain) << config.str();

    // The sampled shaped values themselves: equal counts could hide a change
    // in the order in which the contributions are summed.
    std::mt19937 rng_points(seed + 1000);
    std::mt19937 rng_down(seed + 1000);
    const auto points = adc.stream_points(pmt, rng_points);
    if (points) {
        const auto down = adc.sample_down(adc.pulse_shape().convolve(pmt), rng_down);
        ASSERT_EQ(points->size(), down.size()) << config.str();
        for (std::size_t i = 0; i < down.size(); ++i) {
            ASSERT_EQ(points->samples()[i].first, down.samples()[i].first) << config.str() << ", point " << i;
            ASSERT_EQ(std::memcmp(&points->samples()[i].second, &down.samples()[i].second, sizeof(double)), 0)
                << config.str() << ", point " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RandomConfigurations, AdcFastPath, ::testing::Range(1u, 301u));

TEST(AdcFastPathLimits, IndicesBeyondTheExactRangeTakeThePlainPath) {
    const ADCSim adc(4e-9, SparseConvolution<double>(0.1e-9, {0.5, 1.0, 0.25}), 0, 10.0, 0.0, 100.0, 0.0, 4095.0);
    SparseWaveform<double> pmt(0.1e-9);
    pmt.add_at_index(std::int64_t{1} << 45, 1.0);
    pmt.add_at_index((std::int64_t{1} << 45) + 1, 2.0);
    std::mt19937 a(1);
    std::mt19937 b(1);
    EXPECT_EQ(adc.simulate(pmt, a).samples(), adc.simulate_plain(pmt, b).samples());
    EXPECT_TRUE(a == b);
}

TEST(AdcCounts, RoundHalvesAwayFromZeroLikeStdRound) {
    const ADCSim adc(1.0, SparseConvolution<double>(1.0, {1.0}), 0, 1.0, 0.0, 65535.0, 0.0, 65535.0);
    std::vector<double> values = {0.0, 0.5, 1.5, 2.5, 0.49999999999999994, 65534.5, 65535.0, 22.5, 1e-300};
    for (const double half : {0.5, 1.5, 100.5, 4095.5, 65533.5}) {
        values.push_back(std::nextafter(half, 0.0));
        values.push_back(std::nextafter(half, 1e9));
    }
    std::mt19937 setup(5);
    for (int i = 0; i < 2000; ++i) {
        values.push_back(std::uniform_real_distribution<double>(0.0, 65535.0)(setup));
    }
    SparseWaveform<double> sampled(1.0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        sampled.add_at_index(static_cast<std::int64_t>(i), values[i]);
    }
    std::mt19937 rng(1);
    const auto counts = adc.digitise(sampled, rng);
    ASSERT_EQ(counts.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(counts.samples()[i].second, static_cast<unsigned short>(std::round(values[i]))) << values[i];
    }
}

TEST(TriggerThreshold, OneComparisonEqualsTheTruncatingDivision) {
    std::mt19937 setup(11);
    const int extremes[] = {INT_MIN, INT_MIN + 1, -65535, -1, 0, 1, 65535, INT_MAX - 1, INT_MAX};
    std::vector<int> norms(std::begin(extremes), std::end(extremes));
    std::vector<int> thresholds = norms;
    for (int i = 0; i < 40; ++i) {
        norms.push_back(std::uniform_int_distribution<int>(-50, 50)(setup));
        thresholds.push_back(std::uniform_int_distribution<int>(-1000, 1000)(setup));
    }
    for (const int norm : norms) {
        if (norm == 0) {
            continue;
        }
        for (const int threshold : thresholds) {
            const TriggerSim trigger(4e-9, 16, 0, {1}, threshold, norm);
            std::vector<int> values(std::begin(extremes), std::end(extremes));
            for (int i = 0; i < 200; ++i) {
                values.push_back(std::uniform_int_distribution<int>(-5000, 5000)(setup));
                // Around the boundary, where an off-by-one would show.
                values.push_back(static_cast<int>(std::clamp<std::int64_t>(
                    std::int64_t{threshold} * norm + std::uniform_int_distribution<int>(-3, 3)(setup), INT_MIN,
                    INT_MAX)));
            }
            for (const int s : values) {
                ASSERT_EQ(trigger.passes_threshold(s), std::int64_t{s} / norm > threshold)
                    << s << " / " << norm << " > " << threshold;
            }
        }
    }
}

// The trigger filtered entry by entry, forming only the values that can pass
// the threshold, against TriggerSim::simulate_plain on the whole waveform; the
// stage's simulate, which streams where it can, gives the same. An empty
// kernel filters nothing and never triggers, streamed or not.
TEST(TriggerStreaming, EqualsTheWholeWaveformTrigger) {
    for (unsigned seed = 1; seed <= 2000; ++seed) {
        std::mt19937 setup(seed);
        std::vector<int> kernel(
            static_cast<std::size_t>(std::uniform_int_distribution<int>(seed % 40 == 0 ? 0 : 1, 9)(setup)));
        for (auto& k : kernel) {
            k = std::uniform_int_distribution<int>(-2, 3)(setup);
        }
        const int threshold = std::uniform_int_distribution<int>(-20, 200)(setup);
        const int norm = std::uniform_int_distribution<int>(0, 1)(setup) == 0
                             ? std::uniform_int_distribution<int>(1, 4)(setup)
                             : -std::uniform_int_distribution<int>(1, 4)(setup);
        // Retrigger offsets from below zero to the extremes of their range,
        // where the first index that may trigger leaves the 64-bit range.
        int retrigger = std::uniform_int_distribution<int>(-5, 30)(setup);
        if (seed % 50 == 0) {
            retrigger = seed % 100 == 0 ? std::numeric_limits<int>::max() : std::numeric_limits<int>::min();
        }
        const TriggerSim trigger(4e-9, std::uniform_int_distribution<int>(0, 20)(setup), retrigger, kernel, threshold,
                                 norm);
        SparseWaveform<unsigned short> adc(4e-9);
        std::int64_t k = std::uniform_int_distribution<int>(-50, 50)(setup);
        const int entries = std::uniform_int_distribution<int>(0, 80)(setup);
        for (int i = 0; i < entries; ++i) {
            const bool gap = std::uniform_int_distribution<int>(0, 3)(setup) == 0;
            k += gap ? std::uniform_int_distribution<int>(2, 12)(setup) : 1;
            adc.add_at_index(k, static_cast<unsigned short>(std::uniform_int_distribution<int>(0, 120)(setup)));
        }
        const auto expected = trigger.simulate_plain(adc);
        ASSERT_EQ(trigger.simulate(adc), expected) << "seed " << seed;

        TriggerStream stream(trigger);
        std::vector<double> got;
        const auto on_trigger = [&](double time) { got.push_back(time); };
        if (seed % 2 == 0) {
            for (const auto& [index, value] : adc.samples()) {
                stream.push(index, value, on_trigger);
            }
        } else {
            // In blocks of 1 to 8 entries, as the model streams them.
            const auto& entries = adc.samples();
            for (std::size_t i = 0; i < entries.size();) {
                const auto n =
                    std::min<std::size_t>(entries.size() - i, std::uniform_int_distribution<std::size_t>(1, 8)(setup));
                const std::vector<std::pair<std::int64_t, unsigned short>> block(
                    entries.begin() + static_cast<std::ptrdiff_t>(i),
                    entries.begin() + static_cast<std::ptrdiff_t>(i + n));
                stream.push_block(block, on_trigger);
                i += n;
            }
        }
        stream.finish(on_trigger);
        ASSERT_EQ(got, expected) << "seed " << seed;

        // The filter alone: every value it forms is the convolution's value at
        // that index, and its run positions count consecutive indices.
        const auto signal = trigger.trigger_kernel().convolve(adc);
        TriggerFilter filter(trigger);
        std::int64_t prev = 0;
        std::uint64_t prev_run = 0;
        bool any = false;
        const auto check = [&](std::int64_t j, std::uint64_t run, int s) {
            const auto it = std::lower_bound(signal.samples().begin(), signal.samples().end(), j,
                                             [](const auto& e, std::int64_t x) { return e.first < x; });
            ASSERT_TRUE(it != signal.samples().end() && it->first == j) << "seed " << seed << ", index " << j;
            ASSERT_EQ(it->second, s) << "seed " << seed << ", index " << j;
            if (any && j == prev + 1) {
                ASSERT_EQ(run, prev_run + 1) << "seed " << seed << ", index " << j;
            }
            any = true;
            prev = j;
            prev_run = run;
        };
        for (const auto& [index, value] : adc.samples()) {
            filter.push(index, value, check);
        }
        filter.finish(check);
    }
}

class TotFastPath : public ::testing::TestWithParam<unsigned> {};

TEST_P(TotFastPath, EqualsThePlainComposition) {
    const unsigned seed = GetParam();
    std::mt19937 setup(seed);
    const double pmt_step = std::uniform_real_distribution<double>(0.05e-9, 0.5e-9)(setup);
    // Kernel steps equal to, whole multiples of, and not multiples of the PMT step.
    const int form = std::uniform_int_distribution<int>(0, 2)(setup);
    const double tot_step = form == 0   ? pmt_step
                            : form == 1 ? pmt_step * std::uniform_int_distribution<int>(2, 8)(setup)
                                        : pmt_step * std::uniform_real_distribution<double>(1.1, 7.9)(setup);
    auto kernel = random_kernel(setup);
    kernel.resize(std::min<std::size_t>(kernel.size(), 120));
    const double threshold = std::uniform_real_distribution<double>(0.05, 2.0)(setup);
    const double dead_time = tot_step * std::uniform_int_distribution<int>(0, 20)(setup);
    const double noise = std::uniform_int_distribution<int>(0, 1)(setup) == 0 ? 0.0 : 0.1;
    const double jitter = std::uniform_int_distribution<int>(0, 1)(setup) == 0 ? 0.0 : 0.3 * tot_step;
    const ToTSim tot(tot_step, SparseConvolution<double>(tot_step, std::move(kernel)), threshold, dead_time, noise,
                     jitter);
    const std::int64_t centres[] = {0, -5000, 987654321, (std::int64_t{1} << 40) - 5000};
    const std::int64_t centre = centres[std::uniform_int_distribution<int>(0, 3)(setup)];
    const SparseWaveform<double> pmt = random_pmt(setup, pmt_step, centre);

    std::mt19937 rng_fast(seed + 7);
    std::mt19937 rng_plain(seed + 7);
    const auto fast = tot.simulate(pmt, rng_fast);
    const auto plain = tot.simulate_plain(pmt, rng_plain);
    std::ostringstream config;
    config << "seed " << seed << ", pmt step " << pmt_step << ", tot step " << tot_step << ", entries " << pmt.size()
           << ", centre " << centre;
    ASSERT_EQ(fast.size(), plain.size()) << config.str();
    for (std::size_t i = 0; i < fast.size(); ++i) {
        ASSERT_TRUE(same_bits(fast[i].first, plain[i].first) && same_bits(fast[i].second, plain[i].second))
            << config.str() << ", hit " << i;
    }
    EXPECT_TRUE(rng_fast == rng_plain) << config.str();
}

INSTANTIATE_TEST_SUITE_P(RandomConfigurations, TotFastPath, ::testing::Range(1u, 301u));

// The streaming convolution's merge-mode table against the plain path, on
// PMT waveforms built to cross every switch: stretches where every index holds
// an entry, stretches with about a third of them empty, gaps shorter and
// longer than the kernel's reach (the pending output empties), stretches long
// enough for several compactions, entries on both sides of time 0 and far
// below it; kernels coarser than, on, and finer than the PMT grid.
struct BurstCase {
    std::string name;
    double ratio; // kernel step / PMT step
    std::int64_t start;
};

class TotBurst : public ::testing::TestWithParam<BurstCase> {};

TEST_P(TotBurst, StreamEqualsConvolveAndHitsEqualThePlainComposition) {
    const BurstCase& c = GetParam();
    const double pmt_step = 0.1e-9;
    const double tot_step = pmt_step * c.ratio;
    std::mt19937 setup(static_cast<unsigned>(c.ratio * 10.0) + static_cast<unsigned>(c.start & 0xffff));
    std::vector<double> kernel(40);
    for (auto& k : kernel) {
        k = std::uniform_real_distribution<double>(-0.1, 0.4)(setup);
    }
    const auto reach = static_cast<std::int64_t>(std::ceil(39 * c.ratio));
    SparseWaveform<double> pmt(pmt_step);
    std::uniform_real_distribution<double> amp(0.05, 1.5);
    std::int64_t k = c.start;
    const auto stretch = [&](int entries, int empty_in_three) {
        for (int i = 0; i < entries; ++i, ++k) {
            if (std::uniform_int_distribution<int>(0, 2)(setup) >= empty_in_three) {
                pmt.add_at_index(k, amp(setup));
            }
        }
    };
    stretch(12000, 0); // every index: crosses the compaction several times
    k += reach + 50;   // the pending output empties
    stretch(3000, 1);  // a third empty
    k += reach / 2;    // a gap inside the reach
    stretch(9000, 0);  // every index again
    stretch(500, 2);   // sparse
    k += 3 * reach + 7;
    stretch(6000, 1);
    const SparseConvolution<double> shape(tot_step, kernel);
    ASSERT_TRUE(shape.streams_exactly(pmt)) << c.name;

    const auto plain = shape.convolve(pmt);
    std::vector<SparseWaveform<double>::Sample> streamed;
    streamed.reserve(plain.size());
    shape.stream(pmt, [&](std::int64_t index, double value) { streamed.emplace_back(index, value); });
    ASSERT_EQ(streamed.size(), plain.size()) << c.name;
    for (std::size_t i = 0; i < streamed.size(); ++i) {
        ASSERT_EQ(streamed[i].first, plain.samples()[i].first) << c.name << ", entry " << i;
        ASSERT_TRUE(same_bits(streamed[i].second, plain.samples()[i].second))
            << c.name << ", index " << streamed[i].first << ": " << streamed[i].second
            << " != " << plain.samples()[i].second;
    }

    const ToTSim tot(tot_step, SparseConvolution<double>(tot_step, kernel), 1.0, 5.0 * tot_step, 0.1, 0.3 * tot_step);
    std::mt19937 rng_fast(99);
    std::mt19937 rng_plain(99);
    const auto fast = tot.simulate(pmt, rng_fast);
    const auto hits = tot.discriminate(plain, rng_plain);
    ASSERT_EQ(fast.size(), hits.size()) << c.name;
    ASSERT_GE(hits.size(), 3u) << c.name; // the jitter draws are compared too
    for (std::size_t i = 0; i < fast.size(); ++i) {
        ASSERT_TRUE(same_bits(fast[i].first, hits[i].first) && same_bits(fast[i].second, hits[i].second))
            << c.name << ", hit " << i;
    }
    EXPECT_TRUE(rng_fast == rng_plain) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TotBurst,
    ::testing::Values(BurstCase{"coarse_from_zero", 5.0, 0}, BurstCase{"coarse_across_zero", 5.0, -20000},
                      BurstCase{"coarse_far_below_zero", 5.0, -(std::int64_t{1} << 39)},
                      BurstCase{"uneven_from_zero", 3.7, 0}, BurstCase{"uneven_across_zero", 3.7, -20000},
                      BurstCase{"own_grid_across_zero", 1.0, -20000}, BurstCase{"fine_from_zero", 0.5, 0},
                      BurstCase{"fine_across_zero", 0.5, -20000}),
    [](const ::testing::TestParamInfo<BurstCase>& info) { return info.param.name; });

} // namespace
} // namespace velmora
