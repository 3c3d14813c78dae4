#include "ADCSim.h"
#include "MultiPMT.h"
#include "PMTResponse.h"
#include "TestFiles.h"
#include "ToTSim.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <tuple>

namespace velmora {
namespace {

using testing::points_text;
using testing::TempFile;
using Record = ostrelin::MultiPMTTrigger;

constexpr double kPmtStep = 1e-10;
constexpr double kTotStep = 5e-10;
constexpr double kAdcStep = 4e-9;

std::string shape_text(int n, double step, double rise, double decay) {
    std::vector<std::pair<double, double>> points;
    for (int i = 0; i < n; ++i) {
        points.emplace_back(i * step, (1.0 - std::exp(-i / rise)) * std::exp(-i / decay));
    }
    return points_text(points);
}

class MultiPMTModel : public ::testing::Test {
  protected:
    TempFile time_{points_text({{0, 1}, {1e-9, 2}, {3e-9, 0}})};
    TempFile amplitude_{points_text({{0.2, 0}, {1, 1}, {2, 0}})};
    TempFile tot_pulse_{shape_text(40, kTotStep, 4.0, 8.0)};
    TempFile adc_pulse_{shape_text(300, kPmtStep, 10.0, 60.0)};

    MultiPMT make(double sample_delay = 8e-9, int adc_jitter = -1, int seed = 3) const {
        return MultiPMT(time_.path(), amplitude_.path(), kPmtStep, kTotStep, tot_pulse_.path(), 0.3, 5e-9, 0.05, 0.2e-9,
                        kAdcStep, adc_pulse_.path(), adc_jitter, 40.0, 10.0, 1.5, 4095.0, sample_delay, seed);
    }

    static std::vector<double> pe_times() {
        // Isolated PEs, a burst, and a PE before time 0, in no particular order.
        return {3e-6, 1e-6, 2e-6, 2e-6 + 1e-10, 2e-6 + 3e-10, -5e-7, 2e-6 + 2e-9};
    }
};

auto fields(const Record& r) {
    return std::make_tuple(r.time, r.channel, r.time_over_threshold, r.adc_sample);
}

void expect_same(const std::vector<Record>& a, const std::vector<Record>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(fields(a[i]), fields(b[i])) << "record " << i;
    }
}

// The chain composed by hand from the stages: PE deposits, then every draw of
// the ToT stage, then every draw of the ADC stage, then one ADC read per hit.
TEST_F(MultiPMTModel, EqualsTheStagesComposedInDrawOrder) {
    for (const int seed : {1, 2, 3, -7}) {
        MultiPMT model = make(8e-9, -1, seed);
        const auto records = model.simulate(pe_times(), 4);

        auto time_dist = load_distribution(time_.path());
        auto amp_dist = load_distribution(amplitude_.path());
        const ToTSim tot(kTotStep, load_pulse_shape(tot_pulse_.path(), kTotStep, "tot"), 0.3, 5e-9, 0.05, 0.2e-9);
        const ADCSim adc(kAdcStep, load_pulse_shape(adc_pulse_.path(), kPmtStep, "adc"), -1, 40.0, 10.0, 4095.0, 1.5,
                         4095.0);
        std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
        const auto pmt = pe_to_waveform(pe_times(), time_dist, amp_dist, kPmtStep, rng);
        const auto hits = tot.simulate_plain(pmt, rng);
        const auto samples = adc.simulate_plain(pmt, rng);
        std::vector<Record> expected;
        for (const auto& [s, e] : hits) {
            expected.push_back({s, 4, e - s, samples.get_sample(8e-9 + s)});
        }
        ASSERT_GE(expected.size(), 3u) << "seed " << seed;
        expect_same(records, expected);
    }
}

TEST_F(MultiPMTModel, CopiesContinueTheSequenceAndMovesHandOver) {
    MultiPMT a = make();
    a.simulate(pe_times(), 0);
    MultiPMT b(a);
    MultiPMT c = make(0.0, 0, 42);
    c = a;
    const auto ra = a.simulate(pe_times(), 1);
    expect_same(ra, b.simulate(pe_times(), 1));
    expect_same(ra, c.simulate(pe_times(), 1));
    MultiPMT d(std::move(b));
    EXPECT_THROW(b.simulate(pe_times(), 0), std::logic_error); // NOLINT(bugprone-use-after-move)
    expect_same(d.simulate(pe_times(), 2), c.simulate(pe_times(), 2));
}

TEST_F(MultiPMTModel, CalibrationAveragesTheHitTime) {
    MultiPMT model = make();
    const double delay = model.calibrate_delay(1, 40);
    EXPECT_GT(delay, 0.0);
    EXPECT_LT(delay, 10e-9);
    EXPECT_TRUE(std::isnan(model.calibrate_delay(1, 0)));
    EXPECT_THROW(model.calibrate_delay(0, 2), std::runtime_error);
    EXPECT_NO_THROW(model.calibrate_delay(0, 1));
}

TEST_F(MultiPMTModel, RejectsConfigurationsThatCannotBeSimulated) {
    const auto build = [&](double pmt_step, double tot_step, double adc_step, double clip) {
        return MultiPMT(time_.path(), amplitude_.path(), pmt_step, tot_step, tot_pulse_.path(), 0.3, 5e-9, 0.0, 0.0,
                        adc_step, adc_pulse_.path(), 0, 40.0, 10.0, 1.0, clip, 0.0, 1);
    };
    EXPECT_NO_THROW(build(kPmtStep, kTotStep, kAdcStep, 65535.0));
    EXPECT_THROW(build(kPmtStep, 0.0, kAdcStep, 4095.0), std::invalid_argument);
    EXPECT_THROW(build(kPmtStep, -kTotStep, kAdcStep, 4095.0), std::invalid_argument);
    EXPECT_THROW(build(NAN, kTotStep, kAdcStep, 4095.0), std::invalid_argument);
    EXPECT_THROW(build(kPmtStep, kTotStep, 0.5 * kPmtStep, 4095.0), std::invalid_argument);
    EXPECT_THROW(build(kPmtStep, kTotStep, kAdcStep, 65536.0), std::invalid_argument);
    EXPECT_THROW(build(kPmtStep, 2 * kTotStep, kAdcStep, 4095.0), std::ios_base::failure);
}

} // namespace
} // namespace velmora
