// The library's own draws against the standard distributions, bit for bit:
// each draw over MersenneTwister equals the standard distribution's over
// std::mt19937 seeded alike, and the two generators end in the same state.
// A failure names its seed and draw.

#include "Distributions.h"
#include "MersenneTwister.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace velmora {
namespace {

// Draws per kind, spread over SEEDS seeds; VELMORA_LONG_DRAWS sets it for a long run.
constexpr int SEEDS = 100;

std::size_t draws_per_seed() {
    if (const char* env = std::getenv("VELMORA_LONG_DRAWS")) {
        return std::stoull(env) / SEEDS;
    }
#if defined(__SANITIZE_ADDRESS__)
    return 10'000;
#else
    return 1'000'000;
#endif
}

std::vector<std::uint32_t> seeds_for(const char* kind) {
    std::seed_seq seq(kind, kind + std::char_traits<char>::length(kind));
    std::vector<std::uint32_t> seeds(SEEDS);
    seq.generate(seeds.begin(), seeds.end());
    seeds[0] = 5489U;
    return seeds;
}

bool same(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Runs `draw(ours, standard, i)` per draw, which returns the pair of values.
template <class Draw>
void differential(const char* kind, Draw draw) {
    const std::size_t n = draws_per_seed();
    for (const auto seed : seeds_for(kind)) {
        MersenneTwister ours(seed);
        std::mt19937 standard(seed);
        for (std::size_t i = 0; i < n; ++i) {
            const auto [a, b] = draw(ours, standard, i);
            if (!same(a, b)) {
                FAIL() << kind << ", seed " << seed << ", draw " << i << ": " << a << " where the standard gives " << b;
            }
        }
        ASSERT_TRUE(ours.to_standard() == standard)
            << kind << ", seed " << seed << ": the generators differ at the end";
    }
}

TEST(Distributions, CanonicalIsTheStandardCanonical) {
    differential("canonical", [](MersenneTwister& ours, std::mt19937& standard, std::size_t) {
        return std::pair{draw::canonical(ours), std::generate_canonical<double, 53>(standard)};
    });
}

TEST(Distributions, CanonicalOfTheTopWordsIsBelowOne) {
    // Words that round the sum up to 2^64: the largest double below 1.
    std::uint32_t words[] = {0xffffffffU, 0xffffffffU};
    std::size_t next = 0;
    auto top = [&] { return words[next++ % 2]; };
    EXPECT_EQ(draw::canonical(top), std::nextafter(1.0, 0.0));
}

TEST(Distributions, PolarNormalIsTheStandardNormal) {
    // A fresh distribution now and then, as a stage makes one per call, so
    // that the value kept for the next draw is sometimes dropped; means and
    // deviations as the stages use them and others.
    std::mt19937 setup(1);
    const std::size_t n = draws_per_seed();
    for (const auto seed : seeds_for("normal")) {
        MersenneTwister ours(seed);
        std::mt19937 standard(seed);
        draw::PolarNormal mine;
        std::normal_distribution<double> theirs(0.0, 1.0);
        double mean = 0.0;
        double stddev = 1.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (setup() % 97 == 0) {
                mine = draw::PolarNormal();
                mean = (setup() % 3 == 0) ? 0.0 : std::uniform_real_distribution<double>(-100, 100)(setup);
                stddev = (setup() % 3 == 0) ? 1.0 : std::uniform_real_distribution<double>(1e-3, 50)(setup);
                theirs = std::normal_distribution<double>(mean, stddev);
            }
            const double a = mine(ours, mean, stddev);
            const double b = theirs(standard);
            if (!same(a, b)) {
                FAIL() << "normal, seed " << seed << ", draw " << i << ": " << a << " where the standard gives " << b;
            }
        }
        ASSERT_TRUE(ours.to_standard() == standard) << "normal, seed " << seed;
    }
}

TEST(Distributions, UniformIntIsTheStandardUniformInt) {
    // Ranges as the ADC phase draws them (0 to ratio - 1) and the edges of int.
    const std::vector<std::pair<int, int>> ranges = {{0, 0},
                                                     {0, 1},
                                                     {0, 2},
                                                     {0, 3},
                                                     {0, 9},
                                                     {0, 24},
                                                     {0, 99},
                                                     {0, 999},
                                                     {-5, 5},
                                                     {0, 0x7fffffff},
                                                     {-0x7fffffff - 1, 0x7fffffff},
                                                     {-0x7fffffff - 1, 0},
                                                     {0x40000000, 0x7fffffff},
                                                     {0, (1 << 30) + 12345}};
    differential("uniform_int", [&](MersenneTwister& ours, std::mt19937& standard, std::size_t i) {
        const auto [a, b] = ranges[i % ranges.size()];
        std::uniform_int_distribution<int> theirs(a, b);
        return std::pair{static_cast<double>(draw::uniform_int(ours, a, b)), static_cast<double>(theirs(standard))};
    });
}

// Tables as the spectra give them: uneven steps, zero densities, flat
// stretches (zero slope), steep ones; and the standard library's special
// cases of fewer than two points and the flat unit interval.
std::vector<std::pair<std::vector<double>, std::vector<double>>> tables() {
    std::vector<std::pair<std::vector<double>, std::vector<double>>> out = {
        {{0.0, 1.0}, {1.0, 1.0}},
        {{0.0, 1.0}, {2.0, 2.0}},
        {{0.0, 1.0}, {0.0, 1.0}},
        {{-3e-9, 0.0, 5e-9}, {0.0, 7.0, 0.0}},
        {{0.0, 0.5, 1.0, 1.5, 2.0}, {0.0, 0.0, 1.0, 1.0, 0.0}},
        {{1.0}, {1.0}},
    };
    std::mt19937 setup(3);
    for (int t = 0; t < 20; ++t) {
        const int points = std::uniform_int_distribution<int>(2, 300)(setup);
        std::vector<double> x(static_cast<std::size_t>(points));
        std::vector<double> y(x.size());
        double at = std::uniform_real_distribution<double>(-1e-8, 1e-8)(setup);
        for (std::size_t k = 0; k < x.size(); ++k) {
            x[k] = at;
            at += std::uniform_real_distribution<double>(1e-12, 5e-10)(setup);
            const int kind = std::uniform_int_distribution<int>(0, 5)(setup);
            y[k] =
                kind == 0 ? 0.0 : (kind == 1 && k > 0 ? y[k - 1] : std::uniform_real_distribution<double>(0, 3)(setup));
        }
        y[x.size() / 2] = 1.0; // a positive area
        out.emplace_back(x, y);
    }
    return out;
}

TEST(Distributions, PiecewiseLinearIsTheStandardPiecewiseLinear) {
    const auto all = tables();
    std::vector<draw::PiecewiseLinear> mine;
    std::vector<std::piecewise_linear_distribution<double>> theirs;
    for (const auto& [x, y] : all) {
        mine.emplace_back(x, y);
        theirs.emplace_back(x.begin(), x.end(), y.begin());
    }
    differential("piecewise_linear", [&](MersenneTwister& ours, std::mt19937& standard, std::size_t i) {
        const std::size_t t = (i / 7) % all.size();
        return std::pair{mine[t](ours), theirs[t](standard)};
    });
}

// The guided search finds the interval that bisection finds, at the
// probabilities where they could part: on and next to every cumulative value
// and every slice boundary of the guide, in tables of few and of very many
// points (more than the guide has slices), with runs of equal cumulative
// values (zero densities).
TEST(Distributions, PiecewiseLinearFindsTheIntervalBisectionFinds) {
    auto all = tables();
    std::vector<double> x(200'001);
    std::vector<double> y(x.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
        x[k] = static_cast<double>(k) * 1e-12;
        y[k] = (k / 1000) % 3 == 0 ? 0.0 : 1.0 + static_cast<double>(k % 7);
    }
    all.emplace_back(x, y);
    for (const auto& [xs, ys] : all) {
        if (xs.size() < 2 || (xs.size() == 2 && xs[0] == 0.0 && xs[1] == 1.0 && ys[0] == ys[1])) {
            continue; // the uniform special case searches nothing
        }
        const draw::PiecewiseLinear d(xs, ys);
        const auto& cp = d.cumulative();
        std::vector<double> probes = {0.0, std::nextafter(1.0, 0.0)};
        for (const double c : cp) {
            probes.insert(probes.end(), {c, std::nextafter(c, 0.0), std::nextafter(c, 2.0)});
        }
        for (int k = 0; k <= (1 << 16); ++k) {
            const double edge = static_cast<double>(k) / 65536.0;
            probes.insert(probes.end(), {edge, std::nextafter(edge, 0.0)});
        }
        for (const double p : probes) {
            if (!(p >= 0.0 && p < 1.0)) {
                continue;
            }
            const auto expected = static_cast<std::size_t>(std::ranges::lower_bound(cp, p) - cp.begin());
            ASSERT_EQ(d.interval_of(p), expected) << "p = " << p << " in a table of " << xs.size() << " points";
        }
    }
}

TEST(Distributions, PiecewiseLinearRefusesTablesWithoutArea) {
    EXPECT_THROW(draw::PiecewiseLinear({0.0, 1.0, 2.0}, {0.0, 0.0, 0.0}), std::invalid_argument);
    EXPECT_THROW(draw::PiecewiseLinear({0.0, 1.0}, {1.0}), std::invalid_argument);
}

} // namespace
} // namespace velmora
