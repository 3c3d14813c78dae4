#include "SparseWaveform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {
namespace {

// ---------------------------------------------------------------------------
// time_to_index
// ---------------------------------------------------------------------------

struct IndexCase {
    double time;
    std::int64_t index;
};

class TimeToIndexUnitStep : public ::testing::TestWithParam<IndexCase> {};

TEST_P(TimeToIndexUnitStep, MapsToTheNearbyGridPoint) {
    EXPECT_EQ(time_to_index(GetParam().time, 1.0), GetParam().index) << "time " << GetParam().time;
}

// Non-negative times go to the grid point at or below, unless they are within
// 0.001 steps of the next one; negative times mirror that around zero.
INSTANTIATE_TEST_SUITE_P(Values, TimeToIndexUnitStep,
                         ::testing::Values(IndexCase{2.9985, 2}, IndexCase{2.9992, 3}, IndexCase{3.0, 3},
                                           IndexCase{-0.4, 0}, IndexCase{-1.0, -1}, IndexCase{-1.5, -1},
                                           IndexCase{-0.0, 0}, IndexCase{0.0, 0}, IndexCase{0.9995, 1},
                                           IndexCase{0.998, 0}, IndexCase{-0.5, 0}, IndexCase{-0.9995, -1},
                                           IndexCase{-0.998, 0}, IndexCase{-2.9992, -3}, IndexCase{-2.9985, -2},
                                           // The ends of the signed 64-bit range are still reachable.
                                           IndexCase{-9223372036854775808.0, std::numeric_limits<std::int64_t>::min()},
                                           IndexCase{9223372036854774784.0, 9223372036854774784}));

class TimeToIndexStep : public ::testing::TestWithParam<double> {};

// k * step may land a hair below the grid point in floating point; it must
// still map back to k, for small and for large k of either sign.
TEST_P(TimeToIndexStep, GridTimesMapBackToTheirIndex) {
    const double step = GetParam();
    std::vector<std::int64_t> ks;
    for (std::int64_t k = -3000; k <= 3000; ++k) {
        ks.push_back(k);
    }
    std::mt19937_64 rng(12345);
    std::uniform_int_distribution<std::int64_t> wide(-100'000'000'000, 100'000'000'000);
    for (int n = 0; n < 3000; ++n) {
        ks.push_back(wide(rng));
    }
    for (std::int64_t k : ks) {
        ASSERT_EQ(time_to_index(static_cast<double>(k) * step, step), k) << "k " << k << ", step " << step;
    }
}

// Away from the nudge zone the rule truncates toward zero; just short of a grid
// point (within the nudge, which scales with the step) it goes to that point.
TEST_P(TimeToIndexStep, NudgeScalesWithTheStep) {
    const double step = GetParam();
    for (std::int64_t k = 1; k <= 2000; ++k) {
        const double kd = static_cast<double>(k);
        ASSERT_EQ(time_to_index((kd + 0.5) * step, step), k) << "k " << k;
        ASSERT_EQ(time_to_index((kd - 0.0005) * step, step), k) << "k " << k;
        ASSERT_EQ(time_to_index((kd - 0.002) * step, step), k - 1) << "k " << k;
        ASSERT_EQ(time_to_index(-(kd + 0.5) * step, step), -k) << "k " << -k;
        ASSERT_EQ(time_to_index(-(kd - 0.0005) * step, step), -k) << "k " << -k;
        ASSERT_EQ(time_to_index(-(kd - 0.002) * step, step), -(k - 1)) << "k " << -k;
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, TimeToIndexStep, ::testing::Values(0.1e-9, 0.3e-9, 4e-9, 25e-9, 0.7, 1.0));

struct BadIndexCase {
    double time;
    double step;
};

class TimeToIndexOutOfRange : public ::testing::TestWithParam<BadIndexCase> {};

TEST_P(TimeToIndexOutOfRange, ThrowsDomainError) {
    EXPECT_THROW(time_to_index(GetParam().time, GetParam().step), std::domain_error)
        << "time " << GetParam().time << ", step " << GetParam().step;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(Values, TimeToIndexOutOfRange,
                         ::testing::Values(BadIndexCase{kNaN, 1.0}, BadIndexCase{kInf, 1.0}, BadIndexCase{-kInf, 1.0},
                                           BadIndexCase{1.0, kNaN},
                                           // 2^63 itself is one past the largest index.
                                           BadIndexCase{9223372036854775808.0, 1.0},
                                           BadIndexCase{-9223372036854777856.0, 1.0}, BadIndexCase{1e19, 1.0},
                                           BadIndexCase{-1e19, 1.0}, BadIndexCase{1e10, 1e-9},
                                           BadIndexCase{1.0, 1e-300}, BadIndexCase{1.0, 0.0}, BadIndexCase{0.0, 0.0}));

// ---------------------------------------------------------------------------
// SparseWaveform<T>
// ---------------------------------------------------------------------------

template <typename T>
class SparseWaveformTest : public ::testing::Test {
  protected:
    static constexpr double kStep = 4e-9;
    using Entries = std::vector<typename SparseWaveform<T>::Sample>;

    static double at(double index) { return index * kStep; }
    static T v(int x) { return static_cast<T>(x); }
};

using WaveformValueTypes = ::testing::Types<double, unsigned short, int>;
TYPED_TEST_SUITE(SparseWaveformTest, WaveformValueTypes);

TYPED_TEST(SparseWaveformTest, EqualIndicesMergeIntoOneSum) {
    SparseWaveform<TypeParam> w(this->kStep);
    w.add_sample(this->at(3), this->v(5));
    w.add_sample(this->at(3.4), this->v(7));    // truncates to 3
    w.add_sample(this->at(2.9995), this->v(1)); // within the nudge of 3
    w.add_sample(this->at(2.998), this->v(2));  // index 2
    w.add_at_index(3, this->v(10));
    using E = typename TestFixture::Entries;
    EXPECT_EQ(w.samples(), (E{{2, this->v(2)}, {3, this->v(23)}}));
}

TYPED_TEST(SparseWaveformTest, DecreasingAddsComeOutSorted) {
    SparseWaveform<TypeParam> w(this->kStep);
    for (int k = 9; k >= -3; --k) {
        w.add_sample(this->at(k), this->v(k + 20));
    }
    typename TestFixture::Entries expected;
    for (int k = -3; k <= 9; ++k) {
        expected.emplace_back(k, this->v(k + 20));
    }
    EXPECT_EQ(w.samples(), expected);
}

// Random adds against a std::map built from the same adds; then windows and
// single reads at random places against the same map.
TYPED_TEST(SparseWaveformTest, MatchesOrderedMapReference) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> index_dist(-60, 60);
        std::uniform_int_distribution<int> value_dist(0, 65535);
        std::uniform_real_distribution<double> jitter(0.0, 0.9);

        SparseWaveform<TypeParam> w(this->kStep);
        std::map<std::int64_t, TypeParam> ref;
        for (int n = 0; n < 150; ++n) {
            const int k = index_dist(rng);
            const TypeParam value = this->v(value_dist(rng));
            // Anywhere in [k, k + 0.9) steps (mirrored for negative k) lands on k.
            const double offset = jitter(rng);
            w.add_sample(this->at(k >= 0 ? k + offset : k - offset), value);
            ref[k] = detail::wrap_add<TypeParam>(ref[k], value);
        }
        const typename TestFixture::Entries expected(ref.begin(), ref.end());
        ASSERT_EQ(w.samples(), expected);

        for (int n = 0; n < 50; ++n) {
            int i0 = index_dist(rng) - 10;
            int i1 = index_dist(rng) + 10;
            if (i0 > i1) {
                std::swap(i0, i1);
            }
            std::vector<TypeParam> want;
            for (int k = i0; k < i1; ++k) {
                auto it = ref.find(k);
                want.push_back(it == ref.end() ? TypeParam{} : it->second);
            }
            ASSERT_EQ(w.get_samples(this->at(i0), this->at(i1)), want) << "window [" << i0 << ", " << i1 << ")";
            const auto it = ref.find(i0);
            ASSERT_EQ(w.get_sample(this->at(i0)), it == ref.end() ? TypeParam{} : it->second) << "index " << i0;
        }
    }
}

TYPED_TEST(SparseWaveformTest, WindowsAreHalfOpenAndZeroFilled) {
    SparseWaveform<TypeParam> w(this->kStep);
    w.add_at_index(-1, this->v(1));
    w.add_at_index(2, this->v(5));
    w.add_at_index(3, this->v(0)); // stored zero
    w.add_at_index(5, this->v(7));
    w.add_at_index(9, this->v(11));

    struct Window {
        double start, end;
        std::vector<int> values;
    };
    const std::vector<Window> windows = {
        {2, 9, {5, 0, 0, 7, 0, 0, 0}},  // entry at i0 is element 0; entry at i1 is left out
        {0, 2, {0, 0}},                 // entries before and at the end are ignored
        {6, 9, {0, 0, 0}},              // a gap reads as zeros
        {-2, 1, {0, 1, 0}},             // negative indices
        {5, 5, {}},                     // equal bounds
        {9, 9, {}},                     // equal bounds on a stored index
        {9, 10, {11}},                  //
        {1.9995, 5.9995, {5, 0, 0, 7}}, // both bounds nudged up to the next grid point
        {10, 14, {0, 0, 0, 0}},         // past the last entry
        {-9, -5, {0, 0, 0, 0}},         // before the first entry
    };
    for (const Window& win : windows) {
        std::vector<TypeParam> want;
        for (int x : win.values) {
            want.push_back(this->v(x));
        }
        EXPECT_EQ(w.get_samples(this->at(win.start), this->at(win.end)), want)
            << "window [" << win.start << ", " << win.end << ")";
    }
}

TYPED_TEST(SparseWaveformTest, WindowEndingBeforeItsStartThrows) {
    SparseWaveform<TypeParam> w(this->kStep);
    w.add_at_index(0, this->v(1));
    for (const auto& [start, end] : std::vector<std::pair<double, double>>{{5, 4}, {1e-12, 0}, {0, -1}}) {
        try {
            (void)w.get_samples(start, end);
            ADD_FAILURE() << "no exception for [" << start << ", " << end << ")";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "End time must be greater than start time.");
        }
    }
    // A start just after the end that maps to the same index still throws.
    EXPECT_THROW((void)w.get_samples(this->at(3) + 1e-18, this->at(3)), std::invalid_argument);
}

TYPED_TEST(SparseWaveformTest, UnreachableWindowsThrowInsteadOfAllocating) {
    SparseWaveform<TypeParam> w(1.0);
    w.add_at_index(0, this->v(1));
    EXPECT_THROW((void)w.get_samples(-9e18, 9e18), std::length_error);     // i1 - i0 overflows
    EXPECT_THROW((void)w.get_samples(-4.5e18, 4.5e18), std::length_error); // beyond the vector's max_size
    EXPECT_THROW((void)w.get_samples(kNaN, 1.0), std::domain_error);
    EXPECT_THROW((void)w.get_samples(0.0, kInf), std::domain_error);
}

TYPED_TEST(SparseWaveformTest, SingleReadsSeeGapsZerosAndValues) {
    SparseWaveform<TypeParam> w(this->kStep);
    w.add_at_index(-4, this->v(9));
    w.add_at_index(2, this->v(0));
    w.add_at_index(3, this->v(42));
    EXPECT_EQ(w.get_sample(this->at(1)), TypeParam{}); // gap
    EXPECT_EQ(w.get_sample(this->at(2)), TypeParam{}); // stored zero
    EXPECT_EQ(w.get_sample(this->at(3)), this->v(42));
    EXPECT_EQ(w.get_sample(this->at(3.5)), this->v(42));    // truncates onto 3
    EXPECT_EQ(w.get_sample(this->at(2.9995)), this->v(42)); // nudged onto 3
    EXPECT_EQ(w.get_sample(this->at(-4)), this->v(9));
    EXPECT_EQ(w.get_sample(this->at(-3.5)), TypeParam{}); // maps to -3
    EXPECT_EQ(w.get_sample(this->at(100)), TypeParam{});  // past the last entry
    EXPECT_EQ(w.size(), 3u);                              // the stored zero stays
}

TYPED_TEST(SparseWaveformTest, EmptyWaveformReadsAsZero) {
    const SparseWaveform<TypeParam> w(this->kStep);
    EXPECT_TRUE(w.empty());
    EXPECT_TRUE(w.samples().empty());
    EXPECT_EQ(w.time_step(), this->kStep);
    EXPECT_EQ(w.get_samples(this->at(-2), this->at(3)), std::vector<TypeParam>(5, TypeParam{}));
    EXPECT_EQ(w.get_sample(this->at(7)), TypeParam{});
}

TYPED_TEST(SparseWaveformTest, FailedAddLeavesContentUnchanged) {
    SparseWaveform<TypeParam> w(this->kStep);
    w.add_at_index(1, this->v(3));
    const auto before = w.samples();
    EXPECT_THROW(w.add_sample(kNaN, this->v(1)), std::domain_error);
    EXPECT_THROW(w.add_sample(-kInf, this->v(1)), std::domain_error);
    EXPECT_EQ(w.samples(), before);
}

TYPED_TEST(SparseWaveformTest, AssignSortedRequiresStrictlyIncreasingIndices) {
    using E = typename TestFixture::Entries;
    SparseWaveform<TypeParam> w(this->kStep);
    const E good{{-2, this->v(1)}, {0, this->v(0)}, {7, this->v(3)}};
    w.assign_sorted(good);
    EXPECT_EQ(w.samples(), good);
    EXPECT_EQ(w.get_sample(this->at(7)), this->v(3)); // searches work on the assigned content

    for (const E& bad : {E{{1, this->v(1)}, {1, this->v(2)}}, E{{0, this->v(1)}, {5, this->v(2)}, {4, this->v(3)}}}) {
        EXPECT_THROW(w.assign_sorted(bad), std::invalid_argument);
        EXPECT_EQ(w.samples(), good); // rejected input leaves the waveform as it was
    }
    w.assign_sorted(E{});
    EXPECT_TRUE(w.empty());
}

TEST(SparseWaveformWrap, UnsignedShortSumWrapsModulo65536) {
    SparseWaveform<unsigned short> w(1.0);
    w.add_sample(0.0, 65535);
    w.add_sample(0.2, 1);
    w.add_sample(5.0, 65000);
    w.add_sample(5.0, 1000);
    using E = std::vector<SparseWaveform<unsigned short>::Sample>;
    EXPECT_EQ(w.samples(), (E{{0, 0}, {5, 464}})); // the wrapped zero stays stored
}

TEST(SparseWaveformWrap, IntSumWrapsModulo2To32) {
    SparseWaveform<int> w(1.0);
    w.add_at_index(0, std::numeric_limits<int>::max());
    w.add_at_index(0, 1);
    EXPECT_EQ(w.get_sample(0.0), std::numeric_limits<int>::min());
}

} // namespace
} // namespace velmora
