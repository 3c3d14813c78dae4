// MersenneTwister against std::mt19937: the same words for every seeding,
// every path of the block regeneration, and a state that converts both ways
// exactly after any number of draws.

#include "MersenneTwister.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace velmora {
namespace {

// Draws `count` words from both and reports the first that differs.
void expect_same_words(MersenneTwister& ours, std::mt19937& standard, std::size_t count, const char* what) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto a = ours();
        const auto b = static_cast<std::uint32_t>(standard());
        if (a != b) {
            FAIL() << what << ": word " << i << " is " << a << ", std::mt19937 gives " << b;
        }
    }
}

TEST(MersenneTwister, SingleValueSeedingGivesTheStandardSequence) {
    for (const std::uint32_t seed : {0U, 1U, 42U, 5489U, 0x7fffffffU, 0x80000000U, 0xffffffffU}) {
        MersenneTwister ours(seed);
        std::mt19937 standard(seed);
        expect_same_words(ours, standard, 5 * MersenneTwister::state_size + 17, "seed");
    }
    MersenneTwister by_default;
    std::mt19937 standard_default;
    expect_same_words(by_default, standard_default, 2000, "default seed");
}

TEST(MersenneTwister, SeedSequenceSeedingGivesTheStandardSequence) {
    std::mt19937 setup(7);
    for (int trial = 0; trial < 200; ++trial) {
        // The batch layer seeds with 8 words; other lengths, empty included, too.
        std::vector<std::uint32_t> words(static_cast<std::size_t>(trial % 11));
        for (auto& w : words) {
            w = static_cast<std::uint32_t>(setup());
        }
        std::seed_seq a(words.begin(), words.end());
        std::seed_seq b(words.begin(), words.end());
        MersenneTwister ours(a);
        std::mt19937 standard(b);
        expect_same_words(ours, standard, 1500, "seed_seq");
    }
}

TEST(MersenneTwister, ReseedingStartsOver) {
    MersenneTwister ours(3);
    ours.discard(1000);
    ours.seed(99);
    std::mt19937 standard(99);
    expect_same_words(ours, standard, 700, "reseeded");
}

TEST(MersenneTwister, EveryRegenerationPathGivesTheScalarBlock) {
    std::mt19937 setup(11);
    for (int trial = 0; trial < 500; ++trial) {
        std::array<std::uint32_t, MersenneTwister::state_size> state{};
        for (auto& w : state) {
            w = static_cast<std::uint32_t>(setup());
        }
        // The reference: the standard engine's own twist of this state.
        std::mt19937 standard;
        std::stringstream text;
        for (const auto w : state) {
            text << w << ' ';
        }
        text << MersenneTwister::state_size;
        text >> standard;
        std::array<std::uint32_t, MersenneTwister::state_size> expected{};
        for (auto& w : expected) {
            w = static_cast<std::uint32_t>(standard());
        }

        auto portable_state = state;
        std::array<std::uint32_t, MersenneTwister::state_size> portable_out{};
        twister::regenerate_portable(portable_state.data(), portable_out.data());
        ASSERT_EQ(portable_out, expected) << "portable path, trial " << trial;

        if (twister::has_avx2()) {
            auto avx2_state = state;
            std::array<std::uint32_t, MersenneTwister::state_size> avx2_out{};
            twister::regenerate_avx2(avx2_state.data(), avx2_out.data());
            ASSERT_EQ(avx2_out, expected) << "AVX2 path, trial " << trial;
            ASSERT_EQ(avx2_state, portable_state) << "AVX2 path, trial " << trial;
        }
    }
    if (!twister::has_avx2()) {
        GTEST_SKIP() << "this processor has no AVX2: only the portable path was checked";
    }
}

TEST(MersenneTwister, ThePathInUseMatchesTheProcessor) {
    EXPECT_STREQ(twister::path_in_use(), twister::has_avx2() ? "avx2" : "portable");
}

// Draw counts that stop before, at and after block boundaries.
const std::vector<std::size_t> DRAW_COUNTS = {0, 1, 2, 3, 311, 623, 624, 625, 1247, 1248, 1249, 5001};

TEST(MersenneTwister, StateConvertsToTheStandardEngineAfterAnyDraws) {
    for (const auto count : DRAW_COUNTS) {
        MersenneTwister ours(1234);
        ours.discard(0); // a no-op
        for (std::size_t i = 0; i < count; ++i) {
            ours();
        }
        std::mt19937 reference(1234);
        reference.discard(count);
        std::mt19937 converted = ours.to_standard();
        EXPECT_TRUE(converted == reference) << "after " << count << " draws";
        expect_same_words(ours, converted, 1300, "after conversion");
    }
}

TEST(MersenneTwister, StateConvertsFromTheStandardEngineAfterAnyDraws) {
    for (const auto count : DRAW_COUNTS) {
        std::mt19937 standard(77);
        standard.discard(count);
        MersenneTwister ours(standard);
        MersenneTwister reference(77);
        reference.discard(count);
        EXPECT_TRUE(ours == reference) << "after " << count << " draws";
        expect_same_words(ours, standard, 1300, "from the standard engine");
    }
}

TEST(MersenneTwister, DiscardMatchesDrawing) {
    for (const auto count : DRAW_COUNTS) {
        for (const std::size_t before : {std::size_t{0}, std::size_t{5}, std::size_t{623}}) {
            MersenneTwister skipped(9);
            MersenneTwister drawn(9);
            skipped.discard(before);
            drawn.discard(before);
            skipped.discard(count);
            for (std::size_t i = 0; i < count; ++i) {
                drawn();
            }
            EXPECT_TRUE(skipped == drawn) << before << " then " << count;
            EXPECT_EQ(skipped(), drawn());
        }
    }
}

TEST(MersenneTwister, CopiesAndMovesKeepTheState) {
    MersenneTwister original(5);
    original.discard(700);
    MersenneTwister copy = original;
    EXPECT_TRUE(copy == original);
    std::vector<std::uint32_t> a(900);
    std::vector<std::uint32_t> b(900);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = original();
        b[i] = copy();
    }
    EXPECT_EQ(a, b);
    MersenneTwister moved = std::move(copy);
    EXPECT_TRUE(moved == original);
    EXPECT_FALSE(MersenneTwister(5) == original);
}

// The sequence over many seeds and blocks; VELMORA_LONG_DRAWS sets the
// number of words per seed for a long run.
TEST(MersenneTwister, LongSequencesOverManySeeds) {
#if defined(__SANITIZE_ADDRESS__)
    std::size_t per_seed = 10'000;
#else
    std::size_t per_seed = 1'000'000;
#endif
    if (const char* env = std::getenv("VELMORA_LONG_DRAWS")) {
        per_seed = std::stoull(env) / 100;
    }
    std::mt19937 setup(2024);
    for (int s = 0; s < 100; ++s) {
        const auto seed = static_cast<std::uint32_t>(setup());
        MersenneTwister ours(seed);
        std::mt19937 standard(seed);
        expect_same_words(ours, standard, per_seed, "long sequence");
        if (HasFatalFailure()) {
            FAIL() << "seed " << seed;
        }
    }
}

} // namespace
} // namespace velmora
