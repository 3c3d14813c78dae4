// A model keeps its working storage from call to call. Every call must still
// give what a fresh copy of the model (same generator state, no storage yet)
// gives for it, whatever the calls before it held; calibrate_delay, which
// runs without making records, must give what the same runs of simulate give.
#include "AllocationCount.h"
#include "MultiPMT.h"
#include "ZozuvUza.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace velmora {
namespace {

constexpr double kPmtStep = 1e-10;
constexpr double kTotStep = 5e-10;
constexpr double kAdcStep = 4e-9;

SpectrumPoints points(const std::string& name, std::vector<double> x, std::vector<double> y) {
    return {name, std::move(x), std::move(y)};
}

SpectrumPoints pulse(int n, double step) {
    SpectrumPoints s{"pulse", {}, {}};
    for (int i = 0; i < n; ++i) {
        s.x.push_back(i * step);
        s.y.push_back((1.0 - std::exp(-i / 20.0)) * std::exp(-i / 90.0));
    }
    return s;
}

// A threshold of about half a PE: isolated PEs trigger.
ZozuvUza zozuvuza(int trigger_offset, ZozuvUza::EarlyHandling policy) {
    return {points("time", {0, 1e-9, 3e-9}, {1, 2, 0}),
            points("amplitude", {0.2, 1, 2}, {0, 1, 0}),
            kPmtStep,
            kAdcStep,
            pulse(500, kPmtStep),
            -1,
            30.0,
            20.0,
            4000.0,
            2.5,
            4095.0,
            32,
            32,
            {1, 1, 1, 1},
            28,
            4,
            trigger_offset,
            7,
            policy};
}

MultiPMT multipmt() {
    return {points("time", {0, 1e-9, 3e-9}, {1, 2, 0}),
            points("amplitude", {0.2, 1, 2}, {0, 1, 0}),
            kPmtStep,
            kTotStep,
            pulse(100, kTotStep),
            0.3,
            5e-9,
            0.03,
            2e-10,
            kAdcStep,
            pulse(500, kPmtStep),
            -1,
            30.0,
            20.0,
            2.5,
            4000.0,
            1.4e-8,
            11};
}

bool same_bits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same(const ostrelin::ZozuvUzaTrigger& a, const ostrelin::ZozuvUzaTrigger& b) {
    return a.channel == b.channel && a.trigger_time_s == b.trigger_time_s &&
           a.trigger_time_ticks == b.trigger_time_ticks && same_bits(a.baseline, b.baseline) &&
           same_bits(a.intsum, b.intsum) && a.waveform == b.waveform;
}

bool same(const ostrelin::MultiPMTTrigger& a, const ostrelin::MultiPMTTrigger& b) {
    return same_bits(a.time, b.time) && a.channel == b.channel &&
           same_bits(a.time_over_threshold, b.time_over_threshold) && a.adc_sample == b.adc_sample;
}

// Calls of very different sizes in a row, so that storage left by one call
// (larger, smaller, or holding open windows and kept entries) meets the next.
std::vector<std::vector<double>> call_sequence() {
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<std::vector<double>> calls;
    std::vector<double> isolated(20000);
    for (double& t : isolated) {
        t = uniform(gen) * 2e-3;
    }
    calls.push_back(isolated);
    calls.push_back({});
    calls.push_back({0.0});
    calls.push_back(std::vector<double>(3000, 1e-6)); // a bright flash
    std::vector<double> train;
    for (int i = 0; i < 30000; ++i) {
        train.push_back(i * 6e-9); // a dense train: windows open across many blocks
    }
    calls.push_back(train);
    calls.push_back({5e-9, 2e-9});
    calls.push_back(isolated);
    calls.push_back({});
    return calls;
}

template <typename Model>
void expect_like_fresh_copies(Model model) {
    int channel = 0;
    for (const auto& pe_times : call_sequence()) {
        Model fresh = model; // the same generator state, storage not yet used
        const auto got = model.simulate(pe_times, channel);
        const auto expected = fresh.simulate(pe_times, channel);
        ASSERT_EQ(got.size(), expected.size()) << "call " << channel;
        for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_TRUE(same(got[i], expected[i])) << "call " << channel << ", record " << i;
        }
        ASSERT_TRUE(model.generator() == fresh.generator()) << "call " << channel;
        ++channel;
    }
}

TEST(CallSequences, ZozuvUzaCallsGiveWhatAFreshCopyGives) {
    for (const int trigger_offset : {-3, 0, 20}) {
        SCOPED_TRACE(trigger_offset);
        expect_like_fresh_copies(zozuvuza(trigger_offset, ZozuvUza::EarlyHandling::ZERO));
    }
}

TEST(CallSequences, MultiPMTCallsGiveWhatAFreshCopyGives) {
    expect_like_fresh_copies(multipmt());
}

// A call reserves its records at the rate of the call before it, within a
// bound: many PEs that make few records, after a call where many PEs each
// made one, must not hold room for a record per PE.
TEST(CallSequences, RecordsReservedAtTheLatestRateStayBounded) {
    ZozuvUza model = zozuvuza(-3, ZozuvUza::EarlyHandling::ZERO);
    const auto isolated = model.simulate(call_sequence().front(), 0);
    ASSERT_GT(isolated.size(), 5000U); // a record for every third PE or so
    const auto flash = model.simulate(std::vector<double>(400000, 1e-6), 1);
    EXPECT_LT(flash.size(), 10U);
    EXPECT_LE(flash.capacity() * sizeof(flash.front()), std::size_t{4} << 20);
}

TEST(CallSequences, ACopyAssignedOverAUsedModelStartsFresh) {
    ZozuvUza used = zozuvuza(-3, ZozuvUza::EarlyHandling::ZERO);
    used.simulate(call_sequence().front(), 0);
    ZozuvUza other = zozuvuza(5, ZozuvUza::EarlyHandling::ZERO);
    other.simulate({1e-6}, 0);
    used = other; // now the settings of `other`, its storage not carried over
    ZozuvUza reference = other;
    const auto pe_times = call_sequence()[4];
    const auto got = used.simulate(pe_times, 1);
    const auto expected = reference.simulate(pe_times, 1);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(same(got[i], expected[i])) << "record " << i;
    }
}

// The delay as the documented loop over simulate computes it, and the
// generator it leaves.
template <typename Model, typename TimeOf>
std::pair<double, std::mt19937> delay_by_simulate(Model model, std::size_t num_pes, std::size_t num_sim,
                                                  TimeOf time_of) {
    const std::vector<double> pe_times(num_pes, 0.0);
    double sum = 0.0;
    std::size_t valid = 0;
    for (std::size_t i = 0; i < num_sim; ++i) {
        const auto records = model.simulate(pe_times, 0);
        if (records.size() == 1) {
            sum += time_of(records.front());
            ++valid;
        }
    }
    if (valid < num_sim / 2) {
        throw std::runtime_error("Too many simulations did not produce a valid trigger. Calibration failed.");
    }
    return {sum / static_cast<double>(valid), model.generator()};
}

using CalibrationCase = std::tuple<int, ZozuvUza::EarlyHandling, std::size_t>;

class ZozuvUzaCalibration : public ::testing::TestWithParam<CalibrationCase> {};

TEST_P(ZozuvUzaCalibration, EqualsTheLoopOverSimulate) {
    const auto [trigger_offset, policy, num_pes] = GetParam();
    ZozuvUza model = zozuvuza(trigger_offset, policy);
    model.simulate(call_sequence().front(), 0); // storage in use before the calibration
    std::string expected_error;
    std::pair<double, std::mt19937> expected;
    try {
        expected = delay_by_simulate(model, num_pes, 200, [](const ostrelin::ZozuvUzaTrigger& r) {
            return static_cast<double>(r.trigger_time_ticks) * 4e-9;
        });
    } catch (const std::exception& e) {
        expected_error = e.what();
    }
    try {
        const double delay = model.calibrate_delay(num_pes, 200);
        ASSERT_TRUE(expected_error.empty()) << "expected: " << expected_error;
        EXPECT_TRUE(same_bits(delay, expected.first)) << delay << " vs " << expected.first;
        EXPECT_TRUE(model.generator() == expected.second);
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(expected_error, e.what());
    }
}

INSTANTIATE_TEST_SUITE_P(Policies, ZozuvUzaCalibration,
                         ::testing::Values(CalibrationCase{0, ZozuvUza::EarlyHandling::ZERO, 1},
                                           CalibrationCase{-3, ZozuvUza::EarlyHandling::ZERO, 1},
                                           CalibrationCase{-3, ZozuvUza::EarlyHandling::IGNORE, 1},
                                           CalibrationCase{-3, ZozuvUza::EarlyHandling::THROW, 1},
                                           CalibrationCase{0, ZozuvUza::EarlyHandling::ZERO, 40},
                                           CalibrationCase{20, ZozuvUza::EarlyHandling::ZERO, 0}));

TEST(MultiPMTCalibration, EqualsTheLoopOverSimulate) {
    for (const std::size_t num_pes : {1, 5, 200}) {
        SCOPED_TRACE(num_pes);
        MultiPMT model = multipmt();
        model.simulate(call_sequence().front(), 0);
        const auto expected =
            delay_by_simulate(model, num_pes, 200, [](const ostrelin::MultiPMTTrigger& r) { return r.time; });
        const double delay = model.calibrate_delay(num_pes, 200);
        EXPECT_TRUE(same_bits(delay, expected.first)) << delay << " vs " << expected.first;
        EXPECT_TRUE(model.generator() == expected.second);
    }
}

// Once a model has run a calibration, further runs allocate nothing: a
// calibration of many runs makes about as many allocations as one of few
// (a run used to make about ten).
template <typename Model>
void expect_no_allocation_per_run(Model model) {
    model.calibrate_delay(1, 20);
    using testing::allocations_on_this_thread;
    const std::size_t before_few = allocations_on_this_thread();
    const double few = model.calibrate_delay(1, 20);
    const std::size_t for_few = allocations_on_this_thread() - before_few;
    const std::size_t before_many = allocations_on_this_thread();
    const double many = model.calibrate_delay(1, 2000);
    const std::size_t for_many = allocations_on_this_thread() - before_many;
    EXPECT_FALSE(std::isnan(few) || std::isnan(many)); // the runs made records
    // A kept buffer may still grow for a run larger than any before it.
    EXPECT_LE(for_many, for_few + 5);
}

TEST(CallSequences, CalibrationRunsAllocateNothing) {
    expect_no_allocation_per_run(zozuvuza(0, ZozuvUza::EarlyHandling::ZERO));
    expect_no_allocation_per_run(multipmt());
}

} // namespace
} // namespace velmora
