#include "TriggerSim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {
namespace {

constexpr double kAdcStep = 4e-9;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr const char* kStepMessage = "TriggerSim::simulate: waveform time step does not match adc_step";

struct Block {
    std::int64_t first, last;
    unsigned short value;
};

SparseWaveform<unsigned short> adc_waveform(const std::vector<Block>& blocks, double step = kAdcStep) {
    SparseWaveform<unsigned short> w(step);
    for (const auto& b : blocks) {
        for (std::int64_t i = b.first; i <= b.last; ++i)
            w.add_at_index(i, b.value);
    }
    return w;
}

std::vector<double> times(const std::vector<std::int64_t>& indices) {
    std::vector<double> t;
    for (auto i : indices)
        t.push_back(static_cast<double>(i) * kAdcStep);
    return t;
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

// --- candidates, threshold and window placement ----------------------------
struct PlacementCase {
    std::string name;
    std::vector<int> kernel;
    int waveform_samples, retrigger_offset, threshold;
    std::vector<Block> adc;
    std::vector<std::int64_t> expected;
};
class TriggerSimPlacement : public testing::TestWithParam<PlacementCase> {};

TEST_P(TriggerSimPlacement, TriggerIndices) {
    const auto& c = GetParam();
    const TriggerSim trigger(kAdcStep, c.waveform_samples, c.retrigger_offset, c.kernel, c.threshold, 1);
    EXPECT_EQ(trigger.simulate(adc_waveform(c.adc)), times(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TriggerSimPlacement,
    testing::Values(
        // Candidates 1001 .. 1399; each window is pushed to the previous one's end, the last past the signal.
        PlacementCase{"WindowsNeverOverlap", {1}, 100, 20, 10, {{1000, 1399, 50}}, {1001, 1101, 1201, 1301, 1401}},
        // The signal covers 1000 .. 1011; its first three entries are still filling the kernel.
        PlacementCase{"ThreeTapRun",
                      {1, 1, 1},
                      1,
                      1,
                      0,
                      {{1000, 1009, 5}},
                      {1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010, 1011}},
        PlacementCase{"GapRestartsRunCount", {1}, 1, 1, 0, {{10, 11, 5}, {13, 16, 5}}, {11, 14, 15, 16}},
        // The first window start lies ceil(n / 2) + waveform_samples before the first index:
        // a candidate at distance 7, a retrigger offset of 7 passes, 8 does not.
        PlacementCase{"RetriggerOffsetAtFirstLimit", {1}, 5, 7, 0, {{0, 9, 5}}, {1, 8}},
        PlacementCase{"RetriggerOffsetBeyondFirstLimit", {1}, 5, 8, 0, {{0, 9, 5}}, {2}},
        PlacementCase{"LastStartCarriesAcrossRuns", {1}, 100, 20, 0, {{0, 9, 5}, {50, 59, 5}}, {1, 101}},
        PlacementCase{"NegativeIndices", {1}, 10, 0, 0, {{-20, -15, 5}}, {-19, -9}},
        PlacementCase{"NotAboveThreshold", {1}, 1, 1, 5, {{0, 9, 5}}, {}},
        PlacementCase{"EmptyKernel", {}, 1, 1, 0, {{0, 9, 5}}, {}},
        PlacementCase{"EmptyWaveform", {1}, 1, 1, 0, {}, {}},
        // kernel_offset - waveform_samples lies below the 32-bit range here.
        PlacementCase{"WideWindowDoesNotWrap", {1, 1, 1, 1}, kIntMax, 100, 0, {{0, 9, 5}}, {4}}),
    case_name<PlacementCase>);

// Two equal ADC samples give one candidate (the second); its filtered value is sample * tap.
struct ThresholdCase {
    std::string name;
    unsigned short sample;
    int tap, norm, threshold;
    bool triggers;
};
class TriggerSimThreshold : public testing::TestWithParam<ThresholdCase> {};

TEST_P(TriggerSimThreshold, TruncatedQuotientMustExceedIt) {
    const auto& c = GetParam();
    const TriggerSim trigger(kAdcStep, 1, 1, {c.tap}, c.threshold, c.norm);
    const auto result = trigger.simulate(adc_waveform({{100, 101, c.sample}}));
    EXPECT_EQ(result, c.triggers ? times({101}) : std::vector<double>{});
}

INSTANTIATE_TEST_SUITE_P(Cases, TriggerSimThreshold,
                         testing::Values(ThresholdCase{"Quotient11", 44, 1, 4, 10, true},
                                         ThresholdCase{"Quotient10", 43, 1, 4, 10, false},
                                         ThresholdCase{"NegativeTruncatesTowardZero", 45, -1, 4, -11, false},
                                         ThresholdCase{"NegativeNotFloored", 45, -1, 4, -12, true},
                                         ThresholdCase{"NegativeNorm", 44, -1, -4, 10, true},
                                         ThresholdCase{"SmallestIntOverMinusOne", 32768, -65536, -1, kIntMax, true}),
                         case_name<ThresholdCase>);

// --- step check ------------------------------------------------------------
struct StepCase {
    std::string name;
    double adc_step, waveform_step;
    bool empty, throws;
};
class TriggerSimStepCheck : public testing::TestWithParam<StepCase> {};

TEST_P(TriggerSimStepCheck, ToleratesOnePerMille) {
    const auto& c = GetParam();
    const TriggerSim trigger(c.adc_step, 1, 1, {1}, 0, 1);
    const auto w = adc_waveform(c.empty ? std::vector<Block>{} : std::vector<Block>{{0, 3, 5}}, c.waveform_step);
    if (!c.throws) {
        EXPECT_NO_THROW(trigger.simulate(w));
        return;
    }
    try {
        trigger.simulate(w);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), kStepMessage);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TriggerSimStepCheck,
                         testing::Values(StepCase{"Within", kAdcStep, 4.003e-9, false, false},
                                         StepCase{"Above", kAdcStep, 4.0041e-9, false, true},
                                         StepCase{"Below", kAdcStep, 3.9959e-9, false, true},
                                         StepCase{"EmptyWaveformStillChecked", kAdcStep, 4.0041e-9, true, true},
                                         StepCase{"ExactlyOnePerMillePasses", 1000, 1001, false, false},
                                         StepCase{"JustBeyondOnePerMille", 1000, 1001.000001, false, true},
                                         StepCase{"NaNStep", kAdcStep, kNaN, true, true}),
                         case_name<StepCase>);

// --- derived fields and configuration --------------------------------------
class TriggerSimKernelOffset : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(TriggerSimKernelOffset, IsMinusHalfTheTapsRoundedAwayFromZero) {
    const auto [taps, offset] = GetParam();
    const TriggerSim trigger(kAdcStep, 1, 1, std::vector<int>(static_cast<std::size_t>(taps), 1), 0, 1);
    EXPECT_EQ(trigger.kernel_offset(), offset);
    EXPECT_EQ(trigger.kernel_size(), static_cast<std::uint64_t>(taps));
}

INSTANTIATE_TEST_SUITE_P(Cases, TriggerSimKernelOffset,
                         testing::Values(std::pair{0, 0}, std::pair{1, -1}, std::pair{2, -1}, std::pair{3, -2},
                                         std::pair{4, -2}, std::pair{5, -3}));

struct ConfigCase {
    std::string name;
    double adc_step;
    int trigger_norm;
    std::string prefix;
};
class TriggerSimConfig : public testing::TestWithParam<ConfigCase> {};

TEST_P(TriggerSimConfig, RejectsWithMessageNamingTheParameter) {
    const auto& c = GetParam();
    try {
        TriggerSim(c.adc_step, 1, 1, {1}, 0, c.trigger_norm);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind(c.prefix, 0), 0u) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TriggerSimConfig,
                         testing::Values(ConfigCase{"AdcStepZero", 0, 1, "TriggerSim: adc_step"},
                                         ConfigCase{"AdcStepNegative", -kAdcStep, 1, "TriggerSim: adc_step"},
                                         ConfigCase{"AdcStepNaN", kNaN, 1, "TriggerSim: adc_step"},
                                         ConfigCase{"AdcStepInfinite", std::numeric_limits<double>::infinity(), 1,
                                                    "TriggerSim: adc_step"},
                                         ConfigCase{"NormZero", kAdcStep, 0, "TriggerSim: trigger_norm"}),
                         case_name<ConfigCase>);

} // namespace
} // namespace velmora
