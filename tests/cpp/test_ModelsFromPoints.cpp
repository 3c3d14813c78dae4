// Models built from spectra held in memory against the same models built from
// files, and the generator access that lets a caller reseed a model.
#include "MultiPMT.h"
#include "TestFiles.h"
#include "ZozuvUza.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <tuple>

namespace velmora {
namespace {

using testing::points_text;
using testing::TempFile;

constexpr double kPmtStep = 1e-10;
constexpr double kTotStep = 5e-10;
constexpr double kAdcStep = 4e-9;

using Points = std::vector<std::pair<double, double>>;

Points shape(int n, double step, double rise, double decay) {
    Points points;
    for (int i = 0; i < n; ++i) {
        points.emplace_back(i * step, (1.0 - std::exp(-i / rise)) * std::exp(-i / decay));
    }
    return points;
}

SpectrumPoints in_memory(const std::string& name, const Points& points) {
    SpectrumPoints s{name, {}, {}};
    for (const auto& [x, y] : points) {
        s.x.push_back(x);
        s.y.push_back(y);
    }
    return s;
}

const Points kTime{{0, 1}, {1e-9, 2}, {3e-9, 0}};
const Points kAmplitude{{0.2, 0}, {1, 1}, {2, 0}};

// The same settings from three files or from three sets of points.
template <typename Source>
ZozuvUza zozuvuza(const Source& time, const Source& amplitude, const Source& pulse, int seed) {
    return ZozuvUza(time, amplitude, kPmtStep, kAdcStep, pulse, -1, 40.0, 10.0, 4000.0, 1.5, 4095.0, 16, 16, {1, 1}, 40,
                    1, -4, seed, ZozuvUza::EarlyHandling::ZERO);
}

template <typename Source>
MultiPMT multipmt(const Source& time, const Source& amplitude, const Source& tot_pulse, const Source& adc_pulse,
                  int seed) {
    return MultiPMT(time, amplitude, kPmtStep, kTotStep, tot_pulse, 0.3, 5e-9, 0.05, 0.2e-9, kAdcStep, adc_pulse, -1,
                    40.0, 10.0, 1.5, 4095.0, 8e-9, seed);
}

const std::vector<double> kPes{3e-6, 1e-6, 2e-6, 2e-6 + 1e-10, 2e-6 + 3e-10, 2e-6 + 2e-9, 1e-6 + 5e-10};

auto fields(const ostrelin::ZozuvUzaTrigger& r) {
    return std::make_tuple(r.channel, r.trigger_time_s, r.trigger_time_ticks, r.baseline, r.intsum, r.waveform);
}
auto fields(const ostrelin::MultiPMTTrigger& r) {
    return std::make_tuple(r.time, r.channel, r.time_over_threshold, r.adc_sample);
}
template <typename Record>
void expect_same(const std::vector<Record>& a, const std::vector<Record>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(fields(a[i]), fields(b[i])) << "record " << i;
    }
}

TEST(ModelsFromPoints, GiveTheRecordsOfTheSameFiles) {
    const Points pulse = shape(300, kPmtStep, 10.0, 60.0);
    const Points tot_pulse = shape(40, kTotStep, 4.0, 8.0);
    TempFile time(points_text(kTime)), amplitude(points_text(kAmplitude)), pulse_file(points_text(pulse)),
        tot_file(points_text(tot_pulse));

    auto from_files = zozuvuza(time.path(), amplitude.path(), pulse_file.path(), 5);
    auto from_points = zozuvuza(in_memory("t", kTime), in_memory("a", kAmplitude), in_memory("p", pulse), 5);
    for (int call = 0; call < 3; ++call) {
        const auto a = from_files.simulate(kPes, call);
        ASSERT_FALSE(a.empty());
        expect_same(a, from_points.simulate(kPes, call));
    }

    auto m_files = multipmt(time.path(), amplitude.path(), tot_file.path(), pulse_file.path(), 5);
    auto m_points = multipmt(in_memory("t", kTime), in_memory("a", kAmplitude), in_memory("tp", tot_pulse),
                             in_memory("ap", pulse), 5);
    for (int call = 0; call < 3; ++call) {
        const auto a = m_files.simulate(kPes, call);
        ASSERT_FALSE(a.empty());
        expect_same(a, m_points.simulate(kPes, call));
    }
}

// Each case: the three ZozuvUza inputs, one of them faulty; the file form and
// the in-memory form fail with the same exception type and the same message
// (the in-memory name standing where the file path stands).
struct FaultCase {
    const char* name;
    Points time;
    Points amplitude;
    Points pulse;
};

class ModelsFromPointsFaults : public ::testing::TestWithParam<FaultCase> {};

template <typename F>
std::pair<std::string, std::string> failure(F&& build) {
    try {
        build();
    } catch (const std::invalid_argument& e) {
        return {"invalid_argument", e.what()};
    } catch (const std::ios_base::failure& e) {
        return {"ios_base::failure", e.what()};
    } catch (const std::exception& e) {
        return {"other", e.what()};
    }
    return {"none", ""};
}

TEST_P(ModelsFromPointsFaults, FailAsTheFilesDo) {
    const FaultCase& c = GetParam();
    TempFile time(points_text(c.time)), amplitude(points_text(c.amplitude)), pulse(points_text(c.pulse));
    auto [file_kind, file_message] = failure([&] { zozuvuza(time.path(), amplitude.path(), pulse.path(), 1); });
    auto [mem_kind, mem_message] = failure([&] {
        zozuvuza(in_memory(time.path().native(), c.time), in_memory(amplitude.path().native(), c.amplitude),
                 in_memory(pulse.path().native(), c.pulse), 1);
    });
    EXPECT_NE(file_kind, "none");
    EXPECT_EQ(mem_kind, file_kind);
    EXPECT_EQ(mem_message, file_message);
}

const Points kPulse = shape(50, kPmtStep, 10.0, 60.0);
INSTANTIATE_TEST_SUITE_P(
    Faults, ModelsFromPointsFaults,
    ::testing::Values(FaultCase{"OnePoint", {{0, 1}}, kAmplitude, kPulse},
                      FaultCase{"DecreasingX", kTime, {{1, 1}, {0.5, 1}}, kPulse},
                      FaultCase{"NegativeWeight", {{0, 1}, {1e-9, -1}}, kAmplitude, kPulse},
                      FaultCase{"ZeroArea", kTime, {{0, 0}, {1, 0}}, kPulse},
                      FaultCase{"PulseStepMismatch", kTime, kAmplitude, {{0, 1}, {1.01e-10, 1}, {2e-10, 0}}},
                      FaultCase{"FirstFaultWins", {{0, 1}}, {{1, 1}, {0.5, 1}}, {{0, 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelsFromPoints, UnequalLengthsAreRejected) {
    SpectrumPoints bad{"time_spectrum", {0.0, 1e-9, 2e-9}, {1.0, 1.0}};
    EXPECT_THROW(zozuvuza<SpectrumPoints>(bad, in_memory("a", kAmplitude), in_memory("p", kPulse), 1),
                 std::invalid_argument);
}

TEST(ModelsFromPoints, ReseedingTheGeneratorRepeatsTheRecords) {
    auto cam = zozuvuza(in_memory("t", kTime), in_memory("a", kAmplitude), in_memory("p", kPulse), 9);
    auto fresh = cam;
    const auto first = cam.simulate(kPes, 0);
    ASSERT_FALSE(first.empty());
    // Carrying a generator state over makes another model continue the sequence.
    fresh.generator() = cam.generator();
    expect_same(cam.simulate(kPes, 0), fresh.simulate(kPes, 0));
    std::seed_seq seq{1u, 2u, 3u};
    cam.generator().seed(seq);
    const auto seeded = cam.simulate(kPes, 0);
    std::seed_seq same{1u, 2u, 3u};
    fresh.generator().seed(same);
    expect_same(seeded, fresh.simulate(kPes, 0));
}

} // namespace
} // namespace velmora
