#include "ADCSim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace velmora {
namespace {

constexpr double kPmtStep = 0.1e-9;
constexpr double kAdcStep = 4e-9; // 40 PMT steps
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using Entries = std::vector<std::pair<std::int64_t, double>>;

SparseWaveform<double> waveform(double step, const Entries& entries) {
    SparseWaveform<double> w(step);
    for (const auto& [i, v] : entries)
        w.add_at_index(i, v);
    return w;
}

// PMT entries at 0 .. n - 1 holding their own index: every phase keeps n / 40 of them.
SparseWaveform<double> ramp(std::int64_t n) {
    SparseWaveform<double> w(kPmtStep);
    for (std::int64_t i = 0; i < n; ++i)
        w.add_at_index(i, static_cast<double>(i));
    return w;
}

// An ADC whose pulse shape passes the PMT waveform through unchanged.
ADCSim passthrough(int jitter, double gain = 1, double offset = 0, double preamp_clip = 65535, double noise = 0,
                   double clip = 65535) {
    return ADCSim(kAdcStep, SparseConvolution<double>(kPmtStep, {1.0}), jitter, gain, offset, preamp_clip, noise, clip);
}

template <typename P>
std::string case_name(const testing::TestParamInfo<P>& info) {
    return info.param.name;
}
// Failure messages show a case by its name.
template <typename P>
    requires requires(const P& p) { p.name; }
std::ostream& operator<<(std::ostream& os, const P& c) {
    return os << c.name;
}

// --- sample_down: which PMT index lands on which ADC index -----------------
struct SampleDownCase {
    std::string name;
    double grid_step;
    int jitter;
    std::vector<std::int64_t> pmt_indices;
    Entries expected; // (ADC index, PMT index it came from)
};
class ADCSimSampleDown : public testing::TestWithParam<SampleDownCase> {};

TEST_P(ADCSimSampleDown, KeepsOneResidueAtItsFloorQuotient) {
    const auto& c = GetParam();
    Entries in;
    for (auto i : c.pmt_indices)
        in.emplace_back(i, static_cast<double>(i));
    std::mt19937 rng(1), untouched(1);
    const auto out = passthrough(c.jitter).sample_down(waveform(c.grid_step, in), rng);
    EXPECT_EQ(out.time_step(), kAdcStep);
    EXPECT_EQ(out.samples(), c.expected);
    for (const auto& [k, v] : c.expected)
        EXPECT_EQ(out.get_sample(static_cast<double>(k) * kAdcStep), v);
    EXPECT_EQ(rng, untouched); // a fixed phase draws nothing
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ADCSimSampleDown,
    testing::Values(SampleDownCase{"Ratio40Phase0",
                                   kPmtStep,
                                   0,
                                   {-81, -80, -41, -40, -1, 0, 1, 39, 40, 79, 80, 81},
                                   {{-2, -80}, {-1, -40}, {0, 0}, {1, 40}, {2, 80}}},
                    SampleDownCase{"Ratio40Phase39",
                                   kPmtStep,
                                   39,
                                   {-81, -80, -41, -1, 0, 39, 40, 79},
                                   {{-3, -81}, {-2, -41}, {-1, -1}, {0, 39}, {1, 79}}},
                    SampleDownCase{"PhaseAtRatioKeepsNothing", kPmtStep, 40, {-40, 0, 39, 40, 80}, {}},
                    SampleDownCase{"Ratio13On03nsGridTruncates",
                                   0.3e-9,
                                   5,
                                   {-21, -8, 5, 6, 12, 18, 31},
                                   {{-2, -21}, {-1, -8}, {0, 5}, {1, 18}, {2, 31}}},
                    SampleDownCase{"Ratio80OnFinerGrid", 0.05e-9, 79, {39, 79, 159}, {{0, 79}, {1, 159}}}),
    case_name<SampleDownCase>);

// A negative jitter draws the phase anew per call, as one uniform int draw over [0, ratio - 1].
class ADCSimRandomPhase : public testing::TestWithParam<int> {};

TEST_P(ADCSimRandomPhase, IsTheUniformDrawOfEachCall) {
    const ADCSim adc = passthrough(GetParam());
    std::mt19937 rng(7);
    std::vector<int> phases;
    for (int call = 0; call < 20; ++call) {
        std::mt19937 ref = rng;
        const int phase = std::uniform_int_distribution<int>(0, 39)(ref);
        const auto out = adc.sample_down(ramp(120), rng);
        EXPECT_EQ(out.samples(), (Entries{{0, phase}, {1, 40 + phase}, {2, 80 + phase}}));
        EXPECT_EQ(rng, ref);
        phases.push_back(phase);
    }
    EXPECT_NE(std::count(phases.begin(), phases.end(), phases.front()), 20);
}

INSTANTIATE_TEST_SUITE_P(Cases, ADCSimRandomPhase, testing::Values(-1, std::numeric_limits<int>::min()));

// --- simulate: gain, offset, clips and rounding, noise 0 -------------------
struct DigitiseCase {
    std::string name;
    double value, gain, offset, preamp_clip, clip;
    unsigned short expected;
};
class ADCSimDigitise : public testing::TestWithParam<DigitiseCase> {};

TEST_P(ADCSimDigitise, OneSample) {
    const auto& c = GetParam();
    std::mt19937 rng(3);
    const auto out =
        passthrough(0, c.gain, c.offset, c.preamp_clip, 0.0, c.clip).simulate(waveform(kPmtStep, {{40, c.value}}), rng);
    EXPECT_EQ(out.samples(), (std::vector<std::pair<std::int64_t, unsigned short>>{{1, c.expected}}));
}

INSTANTIATE_TEST_SUITE_P(Cases, ADCSimDigitise,
                         testing::Values(DigitiseCase{"PreampClip", 25, 10, 0, 100, 4095, 100},
                                         DigitiseCase{"NegativeToZero", -1, 10, 0, 100, 4095, 0},
                                         DigitiseCase{"HalfAwayFromZero", 2.25, 10, 0, 100, 4095, 23},
                                         DigitiseCase{"HalfAboveEvenRoundsUp", 2.5, 1, 0, 100, 4095, 3},
                                         DigitiseCase{"OffsetAfterGain", 1, 10, 5.25, 100, 4095, 15},
                                         DigitiseCase{"NegativeOffsetToZero", 1, 10, -20, 100, 4095, 0},
                                         DigitiseCase{"OutputClip", 5000, 1, 0, 65535, 4095, 4095},
                                         DigitiseCase{"FullRangeDoesNotWrap", 70000, 1, 0, 1e6, 65535, 65535},
                                         DigitiseCase{"InfiniteAmplitudeClips", kInf, 1, 0, 100, 4095, 100},
                                         DigitiseCase{"InfiniteTimesZeroGainIsZero", kInf, 0, 0, 100, 4095, 0},
                                         DigitiseCase{"NaNAmplitudeIsZero", kNaN, 1, 0, 100, 4095, 0}),
                         case_name<DigitiseCase>);

TEST(ADCSim, ShapesOnPmtGridBeforeSampling) {
    std::vector<double> taps(81);
    for (std::size_t j = 0; j < taps.size(); ++j)
        taps[j] = 0.5 * static_cast<double>(j);
    const ADCSim adc(kAdcStep, SparseConvolution<double>(kPmtStep, taps), 0, 1, 0, 1000, 0, 4095);
    std::mt19937 rng(1);
    // PE 2.0 at index 5: shaped values at 40 and 80 are 2 * taps[35], 2 * taps[75].
    const auto out = adc.simulate(waveform(kPmtStep, {{5, 2.0}}), rng);
    EXPECT_EQ(out.samples(), (std::vector<std::pair<std::int64_t, unsigned short>>{{1, 35}, {2, 75}}));
}

// --- noise -----------------------------------------------------------------
class ADCSimNoise : public testing::TestWithParam<double> {};

TEST_P(ADCSimNoise, IsOneVariateOfDeviationNoisePerEntryInOrder) {
    const double noise = GetParam();
    Entries in;
    for (std::int64_t k = 0; k < 7; ++k)
        in.emplace_back(40 * k, 0.0);
    std::mt19937 rng(11), ref(11);
    const auto out = passthrough(0, 1, 2000, 65535, noise, 65535).simulate(waveform(kPmtStep, in), rng);
    std::normal_distribution<double> gauss(0.0, noise);
    ASSERT_EQ(out.size(), 7u);
    for (const auto& [k, count] : out.samples())
        EXPECT_EQ(count, std::round(gauss(ref) + 2000.0)) << k;
}

INSTANTIATE_TEST_SUITE_P(Cases, ADCSimNoise, testing::Values(0.5, 3.7, 250.0));

class ADCSimClips : public testing::TestWithParam<double> {};

TEST_P(ADCSimClips, NoiseIsAddedBetweenTheClips) {
    const double clip = GetParam();
    Entries in;
    for (std::int64_t k = 0; k < 500; ++k)
        in.emplace_back(40 * k, 25.0);
    std::mt19937 rng(5);
    const auto out = passthrough(0, 10, 0, 100, 1000, clip).simulate(waveform(kPmtStep, in), rng);
    unsigned short lo = 65535, hi = 0;
    for (const auto& [k, count] : out.samples())
        lo = std::min(lo, count), hi = std::max(hi, count);
    EXPECT_EQ(lo, 0);
    EXPECT_GT(hi, 100);
    EXPECT_LE(hi, clip);
    if (clip < 1000) {
        EXPECT_EQ(hi, clip);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ADCSimClips, testing::Values(4095.0, 300.0));

// --- generator use per call ------------------------------------------------
struct DrawCase {
    std::string name;
    int jitter;
    std::int64_t ramp_length; // ramp_length / 40 sampled entries per call
    double noise;
    int calls;
};
class ADCSimDraws : public testing::TestWithParam<DrawCase> {};

TEST_P(ADCSimDraws, PhaseThenOneNormalPerEntryWithAFreshDistributionPerCall) {
    const auto& c = GetParam();
    const ADCSim adc = passthrough(c.jitter, 1, 100, 65535, c.noise, 65535);
    std::mt19937 rng(42), ref(42);
    for (int call = 0; call < c.calls; ++call) {
        const auto out = adc.simulate(ramp(c.ramp_length), rng);
        EXPECT_EQ(static_cast<std::int64_t>(out.size()), c.ramp_length / 40);
        if (c.jitter < 0)
            std::uniform_int_distribution<int>(0, 39)(ref);
        std::normal_distribution<double> gauss(0.0, 1.0);
        for (std::int64_t e = 0; e < c.ramp_length / 40; ++e)
            gauss(ref);
    }
    EXPECT_EQ(rng, ref);
}

INSTANTIATE_TEST_SUITE_P(Cases, ADCSimDraws,
                         testing::Values(DrawCase{"EmptyStillDrawsPhase", -1, 0, 1.0, 1},
                                         DrawCase{"EmptyFixedPhaseDrawsNothing", 0, 0, 1.0, 1},
                                         DrawCase{"OddCountDropsLeftoverVariate", -1, 120, 2.0, 2},
                                         DrawCase{"FixedPhaseEvenCount", 3, 160, 2.0, 2},
                                         DrawCase{"ZeroNoiseStillDraws", 0, 120, 0.0, 2}),
                         case_name<DrawCase>);

TEST(ADCSim, SameSeedSameWaveforms) {
    std::vector<double> taps(60);
    for (std::size_t j = 0; j < taps.size(); ++j)
        taps[j] = std::exp(-static_cast<double>(j) / 15.0);
    const ADCSim adc(kAdcStep, SparseConvolution<double>(kPmtStep, taps), -1, 20, 10, 3000, 2.5, 4095);
    const ADCSim copy = adc;
    std::mt19937 a(2024), b(2024);
    for (int call = 0; call < 5; ++call) {
        const auto pmt = waveform(kPmtStep, {{call * 17, 1.0}, {300 + call, 2.5}, {2000, 0.7}});
        const auto out = adc.simulate(pmt, a);
        EXPECT_FALSE(out.empty());
        EXPECT_EQ(out.samples(), copy.simulate(pmt, b).samples());
    }
}

// --- configuration ---------------------------------------------------------
struct ConfigCase {
    std::string name;
    double adc_step, pulse_step, gain, offset, preamp_clip, noise, clip;
    std::string prefix; // "" for an accepted configuration
};
class ADCSimConfig : public testing::TestWithParam<ConfigCase> {};

TEST_P(ADCSimConfig, RejectsWithMessageNamingTheParameter) {
    const auto& c = GetParam();
    auto make = [&] {
        return ADCSim(c.adc_step, SparseConvolution<double>(c.pulse_step, {1.0}), -1, c.gain, c.offset, c.preamp_clip,
                      c.noise, c.clip);
    };
    if (c.prefix.empty()) {
        EXPECT_NO_THROW(make());
        return;
    }
    try {
        make();
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind(c.prefix, 0), 0u) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ADCSimConfig,
    testing::Values(ConfigCase{"Valid", kAdcStep, kPmtStep, 10, 0, 100, 1, 4095, ""},
                    ConfigCase{"RatioOneLimits", kPmtStep, kPmtStep, 10, 0, 100, 0, 65535, ""},
                    ConfigCase{"AdcStepZero", 0, kPmtStep, 10, 0, 100, 1, 4095, "ADCSim: adc_step"},
                    ConfigCase{"AdcStepNaN", kNaN, kPmtStep, 10, 0, 100, 1, 4095, "ADCSim: adc_step"},
                    ConfigCase{"AdcStepInfinite", kInf, kPmtStep, 10, 0, 100, 1, 4095, "ADCSim: adc_step"},
                    ConfigCase{"AdcStepBelowGridStep", 0.99 * kPmtStep, kPmtStep, 10, 0, 100, 1, 4095,
                               "ADCSim: adc_step"},
                    ConfigCase{"RatioAboveTwoToThe31", 2147483649.0, 1, 1, 0, 100, 0, 0, "ADCSim: adc_step"},
                    ConfigCase{"RatioBeyond64Bits", kAdcStep, 1e-300, 10, 0, 100, 1, 4095, "ADCSim: adc_step"},
                    ConfigCase{"PulseStepNegative", kAdcStep, -kPmtStep, 10, 0, 100, 1, 4095, "ADCSim: pulse_shape"},
                    ConfigCase{"PulseStepNaN", kAdcStep, kNaN, 10, 0, 100, 1, 4095, "ADCSim: pulse_shape"},
                    ConfigCase{"GainInfinite", kAdcStep, kPmtStep, kInf, 0, 100, 1, 4095, "ADCSim: gain"},
                    ConfigCase{"OffsetNaN", kAdcStep, kPmtStep, 10, kNaN, 100, 1, 4095, "ADCSim: offset"},
                    ConfigCase{"PreampClipInfinite", kAdcStep, kPmtStep, 10, 0, kInf, 1, 4095, "ADCSim: preamp_clip"},
                    ConfigCase{"NoiseNaN", kAdcStep, kPmtStep, 10, 0, 100, kNaN, 4095, "ADCSim: noise"},
                    ConfigCase{"NoiseNegative", kAdcStep, kPmtStep, 10, 0, 100, -1, 4095, "ADCSim: noise"},
                    ConfigCase{"ClipAbove16Bits", kAdcStep, kPmtStep, 10, 0, 100, 1, 65536, "ADCSim: clip"},
                    ConfigCase{"ClipNegative", kAdcStep, kPmtStep, 10, 0, 100, 1, -1, "ADCSim: clip"},
                    ConfigCase{"ClipNaN", kAdcStep, kPmtStep, 10, 0, 100, 1, kNaN, "ADCSim: clip"}),
    case_name<ConfigCase>);

// sample_down takes any grid; one coarser than the ADC step, or no step at all, has no ratio.
class ADCSimSampleDownGrid : public testing::TestWithParam<double> {};

TEST_P(ADCSimSampleDownGrid, WithoutRatioThrowsBeforeDrawing) {
    std::mt19937 rng(9), untouched(9);
    EXPECT_THROW(passthrough(-1).sample_down(waveform(GetParam(), {{0, 1.0}}), rng), std::invalid_argument);
    EXPECT_EQ(rng, untouched);
}

INSTANTIATE_TEST_SUITE_P(Cases, ADCSimSampleDownGrid, testing::Values(5e-9, 0.0, -kPmtStep, kNaN, kInf));

TEST(ADCSim, LargestRatioDrawsOverFullIntRange) {
    const ADCSim adc(2147483648.0, SparseConvolution<double>(1.0, {1.0}), -1, 1, 0, 100, 0, 100);
    std::mt19937 rng(4), ref(4);
    EXPECT_TRUE(adc.sample_down(SparseWaveform<double>(1.0), rng).empty());
    std::uniform_int_distribution<int>(0, std::numeric_limits<int>::max())(ref);
    EXPECT_EQ(rng, ref);
}

} // namespace
} // namespace velmora
