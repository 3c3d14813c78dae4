// What a SimulateContext hands to a model's simulate: a trace that observes
// and changes nothing, baseline noise that changes only the samples without
// an ADC entry, and an interrupt check that replaces the thread's.
#include "BaselineNoise.h"
#include "CallTrace.h"
#include "Interrupt.h"
#include "MultiPMT.h"
#include "SimulateContext.h"
#include "TestFiles.h"
#include "ZozuvUza.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace velmora {
namespace {

using testing::points_text;
using testing::TempFile;

constexpr double kPmtStep = 1e-10;
constexpr double kTotStep = 5e-10;
constexpr double kAdcStep = 4e-9;
constexpr int kSamples = 16;

std::string shape_text(int n, double step, double rise, double decay) {
    std::vector<std::pair<double, double>> points;
    for (int i = 0; i < n; ++i) {
        points.emplace_back(i * step, (1.0 - std::exp(-i / rise)) * std::exp(-i / decay));
    }
    return points_text(points);
}

// Flashes that trigger and clip, and single PEs between them.
std::vector<double> pes() {
    std::vector<double> t;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1e-9);
    for (int f = 0; f < 6; ++f) {
        for (int k = 0; k < 5 + (20 * f); ++k) {
            t.push_back((f + 1) * 1e-6 + u(rng));
        }
        t.push_back((f + 1.5) * 1e-6);
    }
    return t;
}

struct Interrupted : std::exception {};

class SimulateContextTest : public ::testing::Test {
  protected:
    TempFile time_{points_text({{0, 1}, {1e-9, 2}, {3e-9, 0}})};
    TempFile amplitude_{points_text({{0.2, 0}, {1, 1}, {2, 0}})};
    TempFile pulse_{shape_text(300, kPmtStep, 10.0, 60.0)};
    TempFile tot_pulse_{shape_text(40, kTotStep, 4.0, 8.0)};

    // A low output clip, so that flashes saturate.
    ZozuvUza zozuvuza() const {
        return ZozuvUza(time_.path(), amplitude_.path(), kPmtStep, kAdcStep, pulse_.path(), -1, 40.0, 10.0, 4000.0, 1.5,
                        300.0, kSamples, kSamples, {1, 1}, 40, 1, -4, 3, ZozuvUza::EarlyHandling::ZERO);
    }
    MultiPMT multipmt() const {
        return MultiPMT(time_.path(), amplitude_.path(), kPmtStep, kTotStep, tot_pulse_.path(), 0.3, 5e-9, 0.05, 0.2e-9,
                        kAdcStep, pulse_.path(), -1, 40.0, 10.0, 1.5, 300.0, 8e-9, 3);
    }
};

bool same(const std::vector<ostrelin::ZozuvUzaTrigger>& a, const std::vector<ostrelin::ZozuvUzaTrigger>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t r = 0; r < a.size(); ++r) {
        if (a[r].channel != b[r].channel || a[r].trigger_time_s != b[r].trigger_time_s ||
            a[r].trigger_time_ticks != b[r].trigger_time_ticks ||
            std::bit_cast<std::uint32_t>(a[r].baseline) != std::bit_cast<std::uint32_t>(b[r].baseline) ||
            std::bit_cast<std::uint32_t>(a[r].intsum) != std::bit_cast<std::uint32_t>(b[r].intsum) ||
            a[r].waveform != b[r].waveform) {
            return false;
        }
    }
    return true;
}

bool same(const std::vector<ostrelin::MultiPMTTrigger>& a, const std::vector<ostrelin::MultiPMTTrigger>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t r = 0; r < a.size(); ++r) {
        if (std::bit_cast<std::uint64_t>(a[r].time) != std::bit_cast<std::uint64_t>(b[r].time) ||
            a[r].channel != b[r].channel ||
            std::bit_cast<std::uint64_t>(a[r].time_over_threshold) !=
                std::bit_cast<std::uint64_t>(b[r].time_over_threshold) ||
            a[r].adc_sample != b[r].adc_sample) {
            return false;
        }
    }
    return true;
}

// Runs `call(model, context)` on a copy of `model` per context and checks
// that each gives the records and leaves the generator as the plain
// two-argument simulate does.
template <typename Model>
void expect_records_of_plain_call(const Model& model, const std::vector<double>& t,
                                  const std::vector<std::pair<std::string, SimulateContext>>& contexts) {
    auto plain = model;
    const auto want = plain.simulate(t, 4);
    ASSERT_FALSE(want.empty());
    for (const auto& [name, context] : contexts) {
        auto copy = model;
        EXPECT_TRUE(same(copy.simulate(t, 4, context), want)) << name;
        EXPECT_TRUE(copy.generator() == plain.generator()) << name;
    }
}

TEST_F(SimulateContextTest, AnyTraceGivesTheRecordsOfThePlainCall) {
    CallTrace pes_trace;
    pes_trace.pes = true;
    CallTrace bare_trace;
    const std::vector<std::pair<std::string, SimulateContext>> contexts = {
        {"empty", SimulateContext{}},
        {"trace of PEs", SimulateContext{.trace = &pes_trace}},
        {"trace without PEs", SimulateContext{.trace = &bare_trace}},
        {"no interrupt check", SimulateContext{.interrupt = InterruptCheck()}},
    };
    expect_records_of_plain_call(zozuvuza(), pes(), contexts);
    pes_trace.clear();
    bare_trace.clear();
    expect_records_of_plain_call(multipmt(), pes(), contexts);
    // The traces noted what the MultiPMT call did.
    EXPECT_FALSE(pes_trace.pe_indices.empty());
    EXPECT_FALSE(pes_trace.tot_spans.empty());
    EXPECT_FALSE(pes_trace.adc_clipped.empty());
    EXPECT_TRUE(bare_trace.pe_indices.empty());
}

TEST_F(SimulateContextTest, BaselineNoiseFillsOnlyTheSamplesWithoutAnEntryAndDrawsNothingOfTheModel) {
    const auto t = pes();
    auto reference = zozuvuza();
    const auto plain = reference.simulate(t, 4);
    ASSERT_FALSE(plain.empty());

    // With and without a trace, the noise gives the same records.
    std::vector<std::vector<ostrelin::ZozuvUzaTrigger>> noisy;
    for (const bool traced : {false, true}) {
        auto model = zozuvuza();
        MersenneTwister noise_rng(11);
        BaselineNoise noise{.rng = &noise_rng, .gauss = draw::PolarNormal{}};
        CallTrace noted;
        noisy.push_back(model.simulate(t, 4, SimulateContext{.trace = traced ? &noted : nullptr, .baseline = &noise}));
        EXPECT_TRUE(model.generator() == reference.generator()) << "traced " << traced;
    }
    ASSERT_TRUE(same(noisy[0], noisy[1]));
    ASSERT_EQ(noisy[0].size(), plain.size());

    // A window sample with an ADC entry keeps its value; the others (0, or
    // the offset of 10 LSB in a window's tail) read the offset plus noise.
    std::size_t filled = 0;
    for (std::size_t r = 0; r < plain.size(); ++r) {
        for (std::size_t j = 0; j < plain[r].waveform.size(); ++j) {
            if (plain[r].waveform[j] != noisy[0][r].waveform[j]) {
                ++filled;
                EXPECT_TRUE(plain[r].waveform[j] == 0 || plain[r].waveform[j] == 10) << "record " << r;
                EXPECT_GE(noisy[0][r].waveform[j], 1) << "record " << r << ", sample " << j;
                EXPECT_LE(noisy[0][r].waveform[j], 20) << "record " << r << ", sample " << j;
            }
        }
    }
    EXPECT_GT(filled, 0U);
}

TEST_F(SimulateContextTest, AContextsInterruptCheckReplacesTheThreads) {
    const auto t = pes();
    const std::function<void()> stop = [] { throw Interrupted{}; };
    const std::function<void()> go_on = [] {};
    auto plain_z = zozuvuza();
    const auto want_z = plain_z.simulate(t, 4);
    auto plain_m = multipmt();
    const auto want_m = plain_m.simulate(t, 4);
    {
        // The velmora module's way: a check installed for the thread, which
        // the plain call and an empty context poll.
        const InterruptScope scope(stop);
        auto z = zozuvuza();
        EXPECT_THROW(z.simulate(t, 4), Interrupted);
        EXPECT_THROW(z.simulate(t, 4, SimulateContext{}), Interrupted);
        auto m = multipmt();
        EXPECT_THROW(m.simulate(t, 4), Interrupted);
        // A context's own check is polled instead of the thread's.
        auto z2 = zozuvuza();
        EXPECT_TRUE(same(z2.simulate(t, 4, SimulateContext{.interrupt = InterruptCheck(go_on)}), want_z));
        auto m2 = multipmt();
        EXPECT_TRUE(same(m2.simulate(t, 4, SimulateContext{.interrupt = InterruptCheck(go_on)}), want_m));
    }
    // Without a check installed, a context's check still ends the call.
    auto z = zozuvuza();
    EXPECT_THROW(z.simulate(t, 4, SimulateContext{.interrupt = InterruptCheck(stop)}), Interrupted);
    auto m = multipmt();
    EXPECT_THROW(m.simulate(t, 4, SimulateContext{.interrupt = InterruptCheck(stop)}), Interrupted);
}

} // namespace
} // namespace velmora
