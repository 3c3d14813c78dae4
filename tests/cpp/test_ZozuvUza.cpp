#include "ADCSim.h"
#include "PMTResponse.h"
#include "TestFiles.h"
#include "TriggerSim.h"
#include "ZozuvUza.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <tuple>

namespace velmora {
namespace {

using testing::points_text;
using testing::TempFile;

std::string pulse_text() {
    std::vector<std::pair<double, double>> points;
    for (int i = 0; i < 400; ++i) {
        points.emplace_back(i * 1e-10, (1.0 - std::exp(-i / 10.0)) * std::exp(-i / 80.0));
    }
    return points_text(points);
}

class ZozuvUzaModel : public ::testing::Test {
  protected:
    TempFile time_{points_text({{0, 1}, {1e-9, 1}})};
    TempFile amplitude_{points_text({{0.5, 0}, {1, 1}, {1.5, 0}})};
    TempFile pulse_{pulse_text()};

    ZozuvUza make(int trigger_offset = -4, ZozuvUza::EarlyHandling policy = ZozuvUza::EarlyHandling::WARN,
                  int seed = 5) const {
        return ZozuvUza(time_.path(), amplitude_.path(), 1e-10, 4e-9, pulse_.path(), -1, 40.0, 10.0, 4000.0, 2.0,
                        4095.0, 16, 16, {1, 1}, 40, 1, trigger_offset, seed, policy);
    }

    static std::vector<double> flash(double t0) {
        std::vector<double> times;
        for (int k = 0; k < 30; ++k) {
            times.push_back(t0 + k * 5e-11);
        }
        return times;
    }
};

using Record = ostrelin::ZozuvUzaTrigger;

auto fields(const Record& r) {
    return std::make_tuple(r.channel, r.trigger_time_s, r.trigger_time_ticks, r.baseline, r.intsum, r.waveform);
}

void expect_same(const std::vector<Record>& a, const std::vector<Record>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(fields(a[i]), fields(b[i])) << "record " << i;
    }
}

TEST_F(ZozuvUzaModel, CopiesContinueTheSameRandomSequence) {
    ZozuvUza a = make();
    const auto times = flash(1e-6);
    a.simulate(times, 0); // advance the generator before copying
    ZozuvUza b(a);
    ZozuvUza c = make(0, ZozuvUza::EarlyHandling::IGNORE, 99);
    c = a;
    const auto ra = a.simulate(times, 1);
    expect_same(ra, b.simulate(times, 1));
    expect_same(ra, c.simulate(times, 1));
    ASSERT_EQ(ra.size(), 1u);
    // The next call on one object differs (noise, phase and PE draws are redrawn).
    const auto again = a.simulate(times, 1);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_NE(fields(ra[0]), fields(again[0]));
}

// The chain composed by hand from the stages: PE deposits, then every draw of
// the ADC stage; the trigger draws nothing.
TEST_F(ZozuvUzaModel, EqualsTheStagesComposedInDrawOrder) {
    for (const int seed : {1, 17, -3}) {
        ZozuvUza model(time_.path(), amplitude_.path(), 1e-10, 4e-9, pulse_.path(), -1, 40.0, 0.0, 4000.0, 2.0, 4095.0,
                       16, 16, {1, 1}, 40, 1, -2, seed, ZozuvUza::EarlyHandling::IGNORE);
        std::vector<double> times = flash(3e-6);
        const auto later = flash(1e-6);
        times.insert(times.begin(), later.begin(), later.end()); // out of order on purpose
        const auto records = model.simulate(times, 2);

        auto time_dist = load_distribution(time_.path());
        auto amp_dist = load_distribution(amplitude_.path());
        const ADCSim adc(4e-9, load_pulse_shape(pulse_.path(), 1e-10, "adc"), -1, 40.0, 0.0, 4000.0, 2.0, 4095.0);
        const TriggerSim trigger(4e-9, 16, 16, {1, 1}, 40, 1);
        std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
        const auto pmt = pe_to_waveform(times, time_dist, amp_dist, 1e-10, rng);
        const auto samples = adc.simulate_plain(pmt, rng);
        const auto trigger_times = trigger.simulate_plain(samples);
        ASSERT_EQ(records.size(), trigger_times.size()) << "seed " << seed;
        ASSERT_EQ(records.size(), 2u) << "seed " << seed;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const double start = trigger_times[i] - 2 * 4e-9;
            EXPECT_EQ(records[i].waveform, samples.get_samples(start, start + 16 * 4e-9)) << "seed " << seed;
            EXPECT_EQ(records[i].trigger_time_ticks, static_cast<unsigned>(start / 4e-9)) << "seed " << seed;
        }
    }
}

TEST_F(ZozuvUzaModel, SelfAssignmentAndMovesKeepTheState) {
    ZozuvUza a = make();
    ZozuvUza twin = make();
    auto& alias = a;
    a = alias;
    ZozuvUza moved(std::move(a));
    const auto times = flash(2e-6);
    expect_same(moved.simulate(times, 0), twin.simulate(times, 0));
    EXPECT_THROW(a.simulate(times, 0), std::logic_error); // NOLINT(bugprone-use-after-move)
    a = std::move(moved);
    expect_same(a.simulate(times, 0), twin.simulate(times, 0));
}

TEST_F(ZozuvUzaModel, RecordsCarryTheWindowStart) {
    ZozuvUza model = make(-4, ZozuvUza::EarlyHandling::WARN);
    const auto records = model.simulate(flash(0.25), 7);
    ASSERT_EQ(records.size(), 1u);
    const Record& r = records[0];
    EXPECT_EQ(r.channel, 7);
    EXPECT_EQ(r.trigger_time_s, 0u);
    // The window starts 4 samples before the trigger, which fires within a few samples of the flash.
    const double start = r.trigger_time_ticks * Record::SECONDS_PER_TICK;
    EXPECT_GT(start, 0.25 - 8 * 4e-9);
    EXPECT_LT(start, 0.25);
    EXPECT_EQ(r.baseline, 10.0F);
    EXPECT_EQ(r.waveform.size(), 16u);
    float sum = 0.0F;
    for (const auto s : r.waveform) {
        sum = sum + (static_cast<float>(s) - 10.0F);
    }
    EXPECT_EQ(r.intsum, sum);
}

TEST_F(ZozuvUzaModel, SecondsAndTicksSplitTheWindowStart) {
    ZozuvUza model = make(0, ZozuvUza::EarlyHandling::WARN);
    const auto records = model.simulate(flash(3.75), 0);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].trigger_time_s, 3u);
    EXPECT_NEAR(records[0].trigger_time_ticks * 4e-9, 0.75, 20e-9);
}

TEST_F(ZozuvUzaModel, ThrowPolicyDiscardsTheCall) {
    ZozuvUza model = make(-4, ZozuvUza::EarlyHandling::THROW);
    auto times = flash(1e-9);
    try {
        model.simulate(times, 0);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Early trigger at -0.000000s.");
    }
}

TEST_F(ZozuvUzaModel, WindowsBeyondTheSecondsCounterAreAnError) {
    // A 10 ms grid still simulates times beyond 2^32 s, which the 32-bit seconds counter cannot stamp.
    std::vector<std::pair<double, double>> points;
    for (int i = 0; i < 40; ++i) {
        points.emplace_back(i * 1e-2, std::exp(-i / 8.0));
    }
    const TempFile coarse_pulse(points_text(points));
    ZozuvUza model(time_.path(), amplitude_.path(), 1e-2, 4e-2, coarse_pulse.path(), 0, 40.0, 10.0, 4000.0, 0.0, 4095.0,
                   16, 16, {1, 1}, 40, 1, 0, 1, ZozuvUza::EarlyHandling::WARN);
    EXPECT_EQ(model.simulate(flash(4.2e9), 0).size(), 1u);
    EXPECT_THROW(model.simulate(flash(4.3e9), 0), std::overflow_error);
}

TEST_F(ZozuvUzaModel, CalibrationThresholds) {
    ZozuvUza model = make(0);
    EXPECT_TRUE(std::isnan(model.calibrate_delay(30, 0)));
    EXPECT_TRUE(std::isnan(model.calibrate_delay(0, 1)));
    EXPECT_THROW(model.calibrate_delay(0, 2), std::runtime_error);
    const double delay = model.calibrate_delay(30, 10);
    EXPECT_GE(delay, 0.0);
    EXPECT_LT(delay, 16e-9);
    EXPECT_THROW(model.calibrate_delay(std::size_t{1} << 62, 1), std::length_error);
}

TEST_F(ZozuvUzaModel, UnknownPolicyIsRejected) {
    EXPECT_THROW(make(0, static_cast<ZozuvUza::EarlyHandling>(7)), std::invalid_argument);
}

// Worked examples of the record rules, on a chain whose every ADC count is
// known: ADC and PMT grids of 4 ns, a two-tap pulse (1, 0), amplitudes of 1,
// gain 100, offset 100.7 and no noise. A PE alone on an index gives the count
// 201 there and 101 (the offset alone, from the zero tap) on the next index.
// PEs on indices m, m+1, m+2 and m+5 trigger once, at m+1; with a trigger
// offset of -1 the window of 8 samples starts at index m and reads
// 201 201 201 101 0 201 101 0, whose last zero is filled with the baseline.
class ZozuvUzaRecordRules : public ::testing::Test {
  protected:
    static constexpr double step = 4e-9;
    TempFile time_{points_text({{0.0, 1.0}, {1e-13, 1.0}})};
    TempFile amplitude_{points_text({{1.0, 1.0}, {1.000001, 1.0}})};
    TempFile pulse_{points_text({{0.0, 1.0}, {step, 0.0}})};

    ZozuvUza make(ZozuvUza::EarlyHandling policy) const {
        return ZozuvUza(time_.path(), amplitude_.path(), step, step, pulse_.path(), 0, 100.0, 100.7, 4000.0, 0.0,
                        4095.0, 8, 8, {1}, 150, 1, -1, 3, policy);
    }

    static std::vector<double> burst(std::int64_t m) {
        return {static_cast<double>(m) * step, static_cast<double>(m + 1) * step, static_cast<double>(m + 2) * step,
                static_cast<double>(m + 5) * step};
    }

    static float single_precision_sum(const std::vector<unsigned short>& samples) {
        float sum = 0.0F;
        for (const unsigned short s : samples) {
            sum = sum + (static_cast<float>(s) - 100.7F);
        }
        return sum;
    }
};

TEST_F(ZozuvUzaRecordRules, TailFillStopsAtTheLastNonZeroSample) {
    const auto records = make(ZozuvUza::EarlyHandling::THROW).simulate(burst(1024), 4);
    ASSERT_EQ(records.size(), 1u);
    const auto& r = records[0];
    EXPECT_EQ(r.waveform, (std::vector<unsigned short>{201, 201, 201, 101, 0, 201, 101, 100}));
    EXPECT_EQ(r.channel, 4);
    EXPECT_EQ(r.trigger_time_s, 0u);
    EXPECT_EQ(r.trigger_time_ticks, 1024u);
    EXPECT_EQ(r.baseline, 100.7F);
    // Each term and the running sum in single precision, first sample to last.
    EXPECT_EQ(r.intsum, single_precision_sum(r.waveform));
    EXPECT_EQ(r.intsum, 300.40002F); // the sum in double precision would round to 300.4F
}

TEST_F(ZozuvUzaRecordRules, StartOfOneAndAHalfSecondsIsOneTickShort) {
    // 0.5 / 4e-9 is just below 125000000 in double precision and truncates.
    const auto records = make(ZozuvUza::EarlyHandling::THROW).simulate(burst(375000000), 0);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].trigger_time_s, 1u);
    EXPECT_EQ(records[0].trigger_time_ticks, 124999999u);
}

TEST_F(ZozuvUzaRecordRules, StartOfExactlyZeroIsNotEarly) {
    for (const auto policy : {ZozuvUza::EarlyHandling::IGNORE, ZozuvUza::EarlyHandling::ZERO,
                              ZozuvUza::EarlyHandling::WARN, ZozuvUza::EarlyHandling::THROW}) {
        const auto records = make(policy).simulate(burst(0), 0);
        ASSERT_EQ(records.size(), 1u) << static_cast<int>(policy);
        EXPECT_EQ(records[0].trigger_time_s, 0u);
        EXPECT_EQ(records[0].trigger_time_ticks, 0u);
        EXPECT_EQ(records[0].waveform, (std::vector<unsigned short>{201, 201, 201, 101, 0, 201, 101, 100}));
    }
}

TEST_F(ZozuvUzaRecordRules, EarlyWindowsFollowThePolicy) {
    // The window starts one ADC step before time 0.
    const auto early = burst(-1);
    EXPECT_TRUE(make(ZozuvUza::EarlyHandling::IGNORE).simulate(early, 0).empty());

    const auto zero = make(ZozuvUza::EarlyHandling::ZERO).simulate(early, 0);
    ASSERT_EQ(zero.size(), 1u);
    EXPECT_EQ(zero[0].trigger_time_s, 0u);
    EXPECT_EQ(zero[0].trigger_time_ticks, 0u);
    EXPECT_EQ(zero[0].waveform, (std::vector<unsigned short>{201, 201, 201, 101, 0, 201, 101, 100}));

    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(make(ZozuvUza::EarlyHandling::WARN).simulate(early, 0).empty());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[Warning] Ignoring early trigger at -4e-09 s.\n");

    try {
        make(ZozuvUza::EarlyHandling::THROW).simulate(early, 0);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Early trigger at -0.000000s.");
    }
}

TEST_F(ZozuvUzaRecordRules, AContextsEarlyWindowSinkCountsWhatWarnWouldWrite) {
    // Windows 20 ADC steps and one step before time 0, then one after it.
    std::vector<double> times;
    for (const std::int64_t m : {-20, -1, 40}) {
        const auto b = burst(m);
        times.insert(times.end(), b.begin(), b.end());
    }
    const auto ignored = make(ZozuvUza::EarlyHandling::IGNORE).simulate(times, 3);
    ASSERT_EQ(ignored.size(), 1u);

    // Each call counts into its own context's sink, and a context without one
    // writes the lines.
    EarlyWindows first;
    EarlyWindows second;
    ::testing::internal::CaptureStderr();
    expect_same(make(ZozuvUza::EarlyHandling::WARN).simulate(times, 3, SimulateContext{.early_windows = &first}),
                ignored);
    expect_same(make(ZozuvUza::EarlyHandling::WARN).simulate(burst(-1), 3, SimulateContext{.early_windows = &second}),
                {});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(first.count, 2u);
    EXPECT_DOUBLE_EQ(first.first_start, -8e-08);
    EXPECT_EQ(second.count, 1u);
    EXPECT_DOUBLE_EQ(second.first_start, -4e-09);

    // Without a sink, the lines come back.
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(make(ZozuvUza::EarlyHandling::WARN).simulate(burst(-1), 0).empty());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[Warning] Ignoring early trigger at -4e-09 s.\n");
}

} // namespace
} // namespace velmora
