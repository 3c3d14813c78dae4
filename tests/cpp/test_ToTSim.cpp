#include "ToTSim.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

using velmora::SparseConvolution;
using velmora::SparseWaveform;
using velmora::ToTSim;
using Hits = std::vector<ToTSim::Hit>;
using Entries = std::vector<std::pair<std::int64_t, double>>;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

SparseWaveform<double> waveform(double step, const Entries& entries) {
    SparseWaveform<double> w(step);
    for (const auto& [i, v] : entries)
        w.add_at_index(i, v);
    return w;
}

// A one-tap pulse shape of 1.0 passes every stored sample through unchanged.
ToTSim pass_through(double tot_step, double threshold, double dead_time, double noise = 0.0, double jitter = 0.0) {
    return ToTSim(tot_step, SparseConvolution<double>(tot_step, {1.0}), threshold, dead_time, noise, jitter);
}

// Replays a call's draws on rng from fresh distributions of deviation noise and
// jitter: 'n' one noise draw, 'j' one jitter draw. Returns the jitter values in
// draw order. A deviation of 0 is outside what a normal distribution accepts:
// its draws consume the generator as a standard one's do and are all 0.
std::vector<double> replay(std::mt19937& rng, const std::string& pattern, double noise = 0.0, double jitter = 0.0) {
    std::normal_distribution<double> noise_dist(0.0, noise == 0.0 ? 1.0 : noise);
    std::normal_distribution<double> jitter_dist(0.0, jitter == 0.0 ? 1.0 : jitter);
    std::vector<double> j;
    for (char c : pattern) {
        if (c == 'n') {
            noise_dist(rng);
        } else {
            const double x = jitter_dist(rng);
            j.push_back(jitter == 0.0 ? 0.0 : x);
        }
    }
    return j;
}

// Runs the stage and checks that it drew exactly as in pattern.
Hits run_and_check_draws(const ToTSim& tot, const SparseWaveform<double>& w, const std::string& pattern,
                         unsigned seed = 5489u) {
    std::mt19937 rng(seed), expected(seed);
    Hits hits = tot.simulate(w, rng);
    replay(expected, pattern, tot.noise(), tot.jitter());
    EXPECT_TRUE(rng == expected) << "draw pattern differs from " << pattern;
    return hits;
}

template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// Discriminator walk with noise and jitter 0, sample step and TDC step 1.
struct WalkCase {
    const char* name;
    Entries entries;
    double threshold, dead_time;
    Hits hits;
    std::string draws;
};

class ToTSimWalk : public testing::TestWithParam<WalkCase> {};

TEST_P(ToTSimWalk, HitsAndDraws) {
    const WalkCase& c = GetParam();
    EXPECT_EQ(run_and_check_draws(pass_through(1.0, c.threshold, c.dead_time), waveform(1.0, c.entries), c.draws),
              c.hits);
}

const Entries kWorkedExample{{0, 0.2}, {1, 0.6}, {2, 0.4}, {3, 0.3}, {4, 0.1},
                             {5, 0.7}, {6, 0.8}, {7, 0.2}, {8, 0.1}, {9, 0.6}};

INSTANTIATE_TEST_SUITE_P(
    Cases, ToTSimWalk,
    testing::Values(
        WalkCase{"worked_example", kWorkedExample, 0.5, 2.0, {{1, 4}, {9, 10}}, "nnnnnjjnnnnnjj"},
        WalkCase{"all_below_still_draw",
                 {{0, .1}, {1, .2}, {2, .3}, {3, .4}, {4, .2}, {5, .1}, {6, 0}},
                 0.5,
                 0,
                 {},
                 "nnnnnnn"},
        WalkCase{"equality_opens", {{0, 0.5}, {1, 0.25}}, 0.5, 0.0, {{0, 1}}, "nnjj"},
        WalkCase{"just_below_stays_closed", {{0, std::nextafter(0.5, 0.0)}}, 0.5, 0.0, {}, "n"},
        WalkCase{"nan_counts_as_below", {{0, 1.0}, {1, kNaN}, {2, 1.0}}, 0.5, 0.0, {{0, 1}, {2, 3}}, "nnjjnjj"},
        WalkCase{"no_close_at_dead_time", {{0, 1}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}, 0.5, 3.0, {{0, 4}}, "nnnnnjj"},
        WalkCase{"close_after_dead_time", {{0, 1}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}, 0.5, 2.5, {{0, 3}}, "nnnnjjn"},
        WalkCase{"reopen_at_first_sample_after_block",
                 {{0, 1}, {1, 0}, {2, 0}, {3, 0}, {4, 1}, {5, 1}, {6, 1}, {7, 0}, {8, 0}, {9, 0}},
                 0.5,
                 2.0,
                 {{0, 3}, {6, 9}},
                 "nnnnjjnnnnnnjj"},
        WalkCase{"pulse_inside_block_lost",
                 {{0, 1}, {1, 0}, {2, 0}, {3, 0}, {4, 1}, {5, 1}, {6, 0}},
                 0.5,
                 2.0,
                 {{0, 3}},
                 "nnnnjjnnn"},
        WalkCase{"opened_at_last_entry", {{0, 0}, {3, 1}}, 0.5, 0.0, {{3, 4}}, "nnjj"},
        WalkCase{"above_through_last_entry", {{1, 1}, {2, 1}, {5, 1}}, 0.5, 0.0, {{1, 6}}, "nnnjj"},
        WalkCase{"open_hit_spans_gap", {{0, 1}, {100, 0}}, 0.5, 0.0, {{0, 100}}, "nnjj"},
        WalkCase{"gap_inside_dead_time", {{0, 1}, {1, 0}, {50, 0}}, 0.5, 10.0, {{0, 50}}, "nnnjj"},
        WalkCase{"negative_times", {{-10, 1}, {-7, 0}, {-3, 1}}, 0.5, 0.0, {{-10, -7}, {-3, -2}}, "nnjjnjj"},
        WalkCase{"nan_threshold_never_opens", {{0, 1}, {1, 2}}, kNaN, 0.0, {}, "nn"}),
    case_name<WalkCase>);

// TDC quantisation: round half away from zero, after the edge times are taken
// on a finer sample grid.
struct RoundCase {
    const char* name;
    double step;
    Entries entries;
    ToTSim::Hit hit;
};

class ToTSimRounding : public testing::TestWithParam<RoundCase> {};

TEST_P(ToTSimRounding, ReportsNearestTDCTime) {
    const RoundCase& c = GetParam();
    EXPECT_EQ(run_and_check_draws(pass_through(1.0, 0.5, 0.0), waveform(c.step, c.entries), "nnjj"), Hits{c.hit});
}

INSTANTIATE_TEST_SUITE_P(Cases, ToTSimRounding,
                         testing::Values(RoundCase{"start_12_5_end_20_4", 0.1, {{125, 1.0}, {204, 0.0}}, {13, 20}},
                                         RoundCase{
                                             "negative_half_away_from_zero", 0.1, {{-25, 1.0}, {-10, 0.0}}, {-3, -1}},
                                         RoundCase{"end_one_tdc_step_after_last", 0.25, {{2, 1.0}, {3, 1.0}}, {1, 2}}),
                         case_name<RoundCase>);

// Kernel step 2 on a sample step 1: taps land on every second index and the
// second input entry adds into the entries the first one made, so the walk
// sees (0, 1), (2, 11), (4, 11), (5, 10) and nothing at 1 and 3.
struct CoarseKernelCase {
    double threshold, dead_time;
    Hits hits;
    std::string draws;
};

class ToTSimCoarseKernel : public testing::TestWithParam<CoarseKernelCase> {};

TEST_P(ToTSimCoarseKernel, WalksTheMergedEntries) {
    const CoarseKernelCase& c = GetParam();
    const ToTSim tot(2.0, SparseConvolution<double>(2.0, {1.0, 1.0, 1.0}), c.threshold, c.dead_time, 0.0, 0.0);
    const auto w = waveform(1.0, {{0, 1.0}, {1, 10.0}});
    ASSERT_EQ(tot.pulse_shape().convolve(w).samples(), (Entries{{0, 1}, {2, 11}, {4, 11}, {5, 10}}));
    EXPECT_EQ(run_and_check_draws(tot, w, c.draws), c.hits);
}

INSTANTIATE_TEST_SUITE_P(Cases, ToTSimCoarseKernel,
                         testing::Values(CoarseKernelCase{0.5, 0.0, {{0, 8}}, "nnnnjj"},
                                         CoarseKernelCase{10.5, 0.0, {{2, 6}}, "nnnnjj"},
                                         CoarseKernelCase{11.0, 3.0, {{2, 8}}, "nnnnjj"},
                                         CoarseKernelCase{12.0, 0.0, {}, "nnnn"}));

TEST(ToTSim, EmptyShapedWaveformDrawsNothing) {
    for (const auto& kernel : {std::vector<double>{1.0, 0.5}, std::vector<double>{}}) {
        const ToTSim tot(1.0, SparseConvolution<double>(1.0, kernel), 0.5, 0.0, 1.0, 1.0);
        const auto input = kernel.empty() ? waveform(1.0, {{3, 1.0}}) : waveform(1.0, {});
        std::mt19937 rng(7), before(7);
        EXPECT_TRUE(tot.simulate(input, rng).empty());
        EXPECT_TRUE(rng == before);
    }
}

// Noise is added before the comparison: a sample at the threshold is above
// exactly when its noise draw is not negative.
TEST(ToTSim, NoiseDecidesTheCrossing) {
    const ToTSim tot = pass_through(1.0, 0.25, 0.0, 1.0, 0.0);
    int opened = 0, missed = 0;
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::mt19937 probe(seed);
        const bool above = std::normal_distribution<double>(0.0, 1.0)(probe) >= 0.0;
        const Hits hits = run_and_check_draws(tot, waveform(1.0, {{4, 0.25}}), above ? "njj" : "n", seed);
        EXPECT_EQ(hits, (above ? Hits{{4, 5}} : Hits{})) << "seed " << seed;
        (above ? opened : missed) += 1;
    }
    EXPECT_GT(opened, 0);
    EXPECT_GT(missed, 0);
}

// Edge jitter: start then end for a hit closed by a sample, end then start for
// a hit still open at the last sample. A fine TDC keeps the jitter visible.
class ToTSimJitter : public testing::TestWithParam<unsigned> {};

TEST_P(ToTSimJitter, DrawOrderOfTheEdges) {
    constexpr double tdc = 1e-3;
    const ToTSim tot = pass_through(tdc, 0.5, 0.0, 0.01, 0.1);
    const auto w = waveform(1.0, {{0, 1.0}, {5, 0.0}, {10, 1.0}, {12, 1.0}});
    const std::string draws = "nnjjnnjj";
    std::mt19937 probe(GetParam());
    const auto j = replay(probe, draws, tot.noise(), tot.jitter());
    ASSERT_NE(j[0], j[1]);
    ASSERT_NE(j[2], j[3]);
    auto q = [&](double x) { return std::round(x / tdc) * tdc; };
    const Hits expected{{q(0.0 + j[0]), q(5.0 + j[1])}, {q(10.0 + j[3]), q(12.0 + (tdc + j[2]))}};
    EXPECT_EQ(run_and_check_draws(tot, w, draws, GetParam()), expected);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ToTSimJitter, testing::Values(1u, 42u, 5489u, 123456789u));

TEST(ToTSim, EqualSeedsGiveEqualHits) {
    const ToTSim tot = pass_through(1e-9, 1.0, 5e-9, 0.5, 2e-10);
    SparseWaveform<double> w(1e-10);
    for (std::int64_t i = 0; i < 400; ++i)
        w.add_at_index(i * 3, 1.0 + 0.6 * std::sin(0.05 * static_cast<double>(i)));
    std::mt19937 a(99), b(99), c(100);
    const Hits first = tot.simulate(w, a);
    EXPECT_GT(first.size(), 1u);
    EXPECT_EQ(tot.simulate(w, b), first);
    EXPECT_TRUE(a == b);
    EXPECT_NE(tot.simulate(w, c), first);
    EXPECT_NE(tot.simulate(w, a), first); // the generator moved on
}

class ToTSimStepCheck : public testing::TestWithParam<double> {};

TEST_P(ToTSimStepCheck, PulseShapeStepAgainstTDCStep) {
    const double tdc = GetParam();
    auto make = [&](double pulse_step) {
        return ToTSim(tdc, SparseConvolution<double>(pulse_step, {1.0}), 0, 0, 0, 0);
    };
    EXPECT_NO_THROW(make(tdc));
    EXPECT_NO_THROW(make(tdc * 1.000001));
    EXPECT_NO_THROW(make(kNaN));
    try {
        make(tdc * 1.00001);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "ToTSim: TDC step is smaller than pulse shape time step.");
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, ToTSimStepCheck, testing::Values(1.0, 0.3, 1e-9, 2.5e-10));

class ToTSimBadTDCStep : public testing::TestWithParam<double> {};

TEST_P(ToTSimBadTDCStep, Rejected) {
    const double tdc = GetParam();
    EXPECT_THROW(ToTSim(tdc, SparseConvolution<double>(tdc, {1.0}), 0, 0, 0, 0), std::invalid_argument);
    try {
        ToTSim(tdc, SparseConvolution<double>(kNaN, {1.0}), 0, 0, 0, 0);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "ToTSim: TDC step must be a finite number greater than zero.");
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, ToTSimBadTDCStep, testing::Values(0.0, -0.0, -1e-9, kInf, -kInf, kNaN));

TEST(ToTSim, KeepsItsConfiguration) {
    const ToTSim tot(2e-9, SparseConvolution<double>(1e-9, {0.5, 1.0}), 0.3, 4e-9, -0.1, -1e-10);
    EXPECT_EQ(tot.tot_step(), 2e-9);
    EXPECT_EQ(tot.pulse_shape().time_step(), 1e-9);
    EXPECT_EQ(tot.pulse_shape().kernel(), (std::vector<double>{0.5, 1.0}));
    EXPECT_EQ(tot.threshold(), 0.3);
    EXPECT_EQ(tot.dead_time(), 4e-9);
    EXPECT_EQ(tot.noise(), -0.1);
    EXPECT_EQ(tot.jitter(), -1e-10);
}

} // namespace
