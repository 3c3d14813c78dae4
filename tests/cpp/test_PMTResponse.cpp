#include "PMTResponse.h"
#include "TestFiles.h"
#include "ZozuvUza.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ios>
#include <random>
#include <stdexcept>

namespace velmora {
namespace {

using testing::points_text;
using testing::TempFile;

// ---- read_spectrum ------------------------------------------------------------------------------------------------

struct ReadCase {
    const char* name;
    const char* content;
    std::vector<double> x;
    std::vector<double> y;
};

class ReadSpectrum : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadSpectrum, TakesPairsUntilTheFirstNonNumber) {
    const TempFile file(GetParam().content);
    const auto [x, y] = ZozuvUza::read_spectrum(file.path());
    EXPECT_EQ(x, GetParam().x);
    EXPECT_EQ(y, GetParam().y);
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, ReadSpectrum,
    ::testing::Values(ReadCase{"lines", "0 1\n1 2\n", {0, 1}, {1, 2}}, ReadCase{"one_line", "0 1 1 2", {0, 1}, {1, 2}},
                      ReadCase{"mixed_space", " \t0\n1\t\t1e-9\n\n2.5E-08 -3 ", {0, 1e-9}, {1, 2.5e-8}},
                      ReadCase{"odd_count_drops_last_x", "0 1 1 2 5", {0, 1}, {1, 2}},
                      ReadCase{"stops_at_text", "0 1 1 1 x 5 6", {0, 1}, {1, 1}},
                      ReadCase{"signs_and_exponents", "-1.5e-9 +2 3E2 .5", {-1.5e-9, 300}, {2, 0.5}}),
    [](const auto& info) { return std::string(info.param.name); });

class ReadSpectrumFails : public ::testing::TestWithParam<const char*> {};

TEST_P(ReadSpectrumFails, WithFewerThanTwoPoints) {
    const TempFile file(GetParam());
    try {
        ZozuvUza::read_spectrum(file.path());
        FAIL() << "no exception";
    } catch (const std::ios_base::failure& e) {
        EXPECT_EQ(e.code(), std::make_error_code(std::io_errc::stream));
        EXPECT_EQ(std::string(e.what()).rfind("Spectrum file must contain at least two data points.: ", 0), 0u)
            << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Contents, ReadSpectrumFails,
                         ::testing::Values("", "0 1", "0 1 2", "time weight\n0 1\n1 1\n", "1.5,2.5\n2.5,3.5\n"));

TEST(ReadSpectrumMissing, NamesThePath) {
    const std::filesystem::path path = "/nonexistent/velmora/spectrum.txt";
    try {
        ZozuvUza::read_spectrum(path);
        FAIL() << "no exception";
    } catch (const std::ios_base::failure& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Failed to open spectrum file: /nonexistent/velmora/spectrum.txt", 0),
                  0u);
    }
}

// ---- distributions and pulse shapes
// ----------------------------------------------------------------------------------

TEST(LoadDistribution, UniformAndTriangle) {
    const TempFile flat(points_text({{0, 1}, {1e-8, 1}}));
    const TempFile triangle(points_text({{0, 0}, {1, 1}, {2, 0}}));
    auto uniform = load_distribution(flat.path());
    auto tri = load_distribution(triangle.path());
    std::mt19937 rng(3);
    int near_peak = 0;
    for (int i = 0; i < 2000; ++i) {
        const double u = uniform(rng);
        EXPECT_TRUE(u >= 0 && u < 1e-8);
        const double a = tri(rng);
        EXPECT_TRUE(a >= 0 && a <= 2);
        near_peak += std::abs(a - 1) < 0.5;
    }
    // The triangle holds 75 % of its area within 0.5 of its peak.
    EXPECT_NEAR(near_peak / 2000.0, 0.75, 0.05);
}

class LoadDistributionRejects : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(LoadDistributionRejects, NamesTheFileAndTheFault) {
    const TempFile file(GetParam().first);
    try {
        load_distribution(file.path());
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(file.path().native()), std::string::npos) << what;
        EXPECT_NE(what.find(GetParam().second), std::string::npos) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(Contents, LoadDistributionRejects,
                         ::testing::Values(std::pair{"0 1 0 1", "strictly increase"},
                                           std::pair{"1 1 0 1", "strictly increase"},
                                           std::pair{"0 1 1 -0.5", "negative"}, std::pair{"0 0 1 0 2 0", "area"}));

TEST(LoadPulseShape, ChecksTheStepAndKeepsTheValues) {
    const double h = 1e-10;
    const TempFile shifted(points_text({{-5e-9, 0.25}, {-5e-9 + h, 1}, {-5e-9 + 2 * h, 0.5}}));
    const auto kernel = load_pulse_shape(shifted.path(), h, "mismatch");
    EXPECT_EQ(kernel.time_step(), h);
    EXPECT_EQ(kernel.kernel(), (std::vector<double>{0.25, 1, 0.5}));

    const TempFile gap(points_text({{0, 1}, {h, 1}, {h + 1.002 * h, 1}}));
    try {
        load_pulse_shape(gap.path(), h, "Pulse shape time step does not match PMT step.");
        FAIL() << "no exception";
    } catch (const std::ios_base::failure& e) {
        EXPECT_EQ(e.code(), std::make_error_code(std::io_errc::stream));
        EXPECT_EQ(std::string(e.what()).rfind("Pulse shape time step does not match PMT step.", 0), 0u);
    }
    const TempFile within(points_text({{0, 1}, {h + 0.0009 * h, 1}}));
    EXPECT_NO_THROW(load_pulse_shape(within.path(), h, "mismatch"));
}

// ---- PE-to-waveform step ---------------------------------------------------------------------------------------

// The plain path: PE by PE, time offset then amplitude, one add_sample each.
SparseWaveform<double> one_by_one(const std::vector<double>& times, std::piecewise_linear_distribution<double> dt,
                                  std::piecewise_linear_distribution<double> amp, double step, std::mt19937& rng) {
    SparseWaveform<double> w(step);
    for (const double t : times) {
        const double offset = dt(rng);
        const double a = amp(rng);
        w.add_sample(t + offset, a);
    }
    return w;
}

class PeToWaveform : public ::testing::TestWithParam<unsigned> {};

TEST_P(PeToWaveform, EqualsOneByOneInsertionBitForBit) {
    const unsigned seed = GetParam();
    std::mt19937 setup(seed);
    const double step = std::uniform_real_distribution<double>(0.05e-9, 1e-9)(setup);
    const TempFile time_file(points_text({{-2e-9, 0.5}, {0, 1}, {3e-9, 0.2}}));
    const TempFile amp_file(points_text({{0.1, 0}, {1, 1}, {2.5, 0.1}}));
    const auto dt = load_distribution(time_file.path());
    const auto amp = load_distribution(amp_file.path());

    // Unsorted times with many collisions on one index, and sparse outliers.
    std::vector<double> times;
    // Few deposits for some seeds (sorted in place), many for the others.
    const int n = std::uniform_int_distribution<int>(0, seed % 3 == 0 ? 63 : 3000)(setup);
    for (int i = 0; i < n; ++i) {
        const int kind = std::uniform_int_distribution<int>(0, 2)(setup);
        if (kind == 0) {
            times.push_back(std::uniform_real_distribution<double>(-1e-6, 1e-6)(setup));
        } else if (kind == 1) {
            times.push_back(std::uniform_real_distribution<double>(0, 5e-9)(setup));
        } else {
            times.push_back(std::uniform_real_distribution<double>(-10, 10)(setup));
        }
    }
    std::mt19937 rng_fast(seed);
    std::mt19937 rng_plain(seed);
    auto dt_fast = dt;
    auto amp_fast = amp;
    const auto fast = pe_to_waveform(times, dt_fast, amp_fast, step, rng_fast);
    const auto plain = one_by_one(times, dt, amp, step, rng_plain);
    ASSERT_EQ(fast.samples().size(), plain.samples().size()) << "seed " << seed;
    for (std::size_t i = 0; i < fast.samples().size(); ++i) {
        ASSERT_EQ(fast.samples()[i].first, plain.samples()[i].first) << "seed " << seed << " entry " << i;
        // Bitwise: the same sums in the same order.
        ASSERT_EQ(std::memcmp(&fast.samples()[i].second, &plain.samples()[i].second, sizeof(double)), 0)
            << "seed " << seed << " entry " << i;
    }
    EXPECT_EQ(rng_fast, rng_plain) << "seed " << seed;
}

INSTANTIATE_TEST_SUITE_P(Seeds, PeToWaveform, ::testing::Range(1u, 41u));

// Many deposits (the sort's wide-digit passes), against a plain stable sort.
TEST(PeToWaveformLarge, EqualsAStableSortOfTheDeposits) {
    const TempFile time_file(points_text({{-2e-9, 0.5}, {0, 1}, {3e-9, 0.2}}));
    const TempFile amp_file(points_text({{0.1, 0}, {1, 1}, {2.5, 0.1}}));
    auto dt = load_distribution(time_file.path());
    auto amp = load_distribution(amp_file.path());
    for (const double span : {1e-6, 10.0}) {
        std::mt19937 setup(7);
        std::vector<double> times(200000);
        for (auto& t : times) {
            t = std::uniform_real_distribution<double>(-span, span)(setup);
        }
        std::mt19937 rng_fast(3);
        std::mt19937 rng_plain(3);
        auto dt_fast = dt;
        auto amp_fast = amp;
        const auto fast = pe_to_waveform(times, dt_fast, amp_fast, 1e-10, rng_fast);

        std::vector<SparseWaveform<double>::Sample> deposits;
        for (const double t : times) {
            const double offset = dt(rng_plain);
            const double a = amp(rng_plain);
            deposits.emplace_back(time_to_index(t + offset, 1e-10), a);
        }
        std::stable_sort(deposits.begin(), deposits.end(),
                         [](const auto& x, const auto& y) { return x.first < y.first; });
        std::vector<SparseWaveform<double>::Sample> expected;
        for (const auto& d : deposits) {
            if (!expected.empty() && expected.back().first == d.first) {
                expected.back().second = expected.back().second + d.second;
            } else {
                expected.push_back(d);
            }
        }
        ASSERT_EQ(fast.samples().size(), expected.size()) << span;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(fast.samples()[i].first, expected[i].first) << span << " entry " << i;
            ASSERT_EQ(std::memcmp(&fast.samples()[i].second, &expected[i].second, sizeof(double)), 0) << span;
        }
    }
}

TEST(CheckPeTimes, RejectsTimesBeyondTheExactRange) {
    const TimeRange offsets{0.0, 1e-9};
    const double latest = max_pe_time_steps * 1e-10; // about 110 s
    EXPECT_NO_THROW(check_pe_times({0.0, -1.0, latest, -latest}, offsets, 1e-10));
    for (const double bad : {double(NAN), double(INFINITY), -double(INFINITY), std::nextafter(latest, 1e300),
                             -std::nextafter(latest, 1e300), 1e9, -1e9}) {
        EXPECT_THROW(check_pe_times({0.0, bad}, offsets, 1e-10), std::invalid_argument) << bad;
    }
    // Offsets that carry a PE beyond the 64-bit index range.
    EXPECT_THROW(check_pe_times({1.0}, TimeRange{0.0, 1e300}, 1e-10), std::invalid_argument);
}

} // namespace
} // namespace velmora
