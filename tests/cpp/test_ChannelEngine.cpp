// The run engine against the models it drives: columns hold exactly the
// records, generators are seeded per piece or carried through in order.
#include "TestFiles.h"
#include "batch/ChannelEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

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

class ChannelEngineTest : public ::testing::Test {
  protected:
    TempFile time_{points_text({{0, 1}, {1e-9, 2}, {3e-9, 0}})};
    TempFile amplitude_{points_text({{0.2, 0}, {1, 1}, {2, 0}})};
    TempFile pulse_{shape_text(300, kPmtStep, 10.0, 60.0)};
    TempFile tot_pulse_{shape_text(40, kTotStep, 4.0, 8.0)};

    ZozuvUza zozuvuza(double gain = 40.0, int seed = 0,
                      ZozuvUza::EarlyHandling early = ZozuvUza::EarlyHandling::ZERO) const {
        return ZozuvUza(time_.path(), amplitude_.path(), kPmtStep, kAdcStep, pulse_.path(), -1, gain, 10.0, 4000.0, 1.5,
                        4095.0, kSamples, kSamples, {1, 1}, 40, 1, -4, seed, early);
    }
    MultiPMT multipmt(double gain = 40.0, int seed = 0) const {
        return MultiPMT(time_.path(), amplitude_.path(), kPmtStep, kTotStep, tot_pulse_.path(), 0.3, 5e-9, 0.05, 0.2e-9,
                        kAdcStep, pulse_.path(), -1, gain, 10.0, 1.5, 4095.0, 8e-9, seed);
    }

    // Channel c gets flashes of 10 PEs every 1 us plus scattered single PEs.
    static std::vector<double> pes(int c) {
        std::vector<double> t;
        std::mt19937 rng(static_cast<unsigned>(c));
        std::uniform_real_distribution<double> u(0.0, 1e-9);
        for (int f = 0; f < 5; ++f) {
            for (int k = 0; k < 10; ++k) {
                t.push_back((f + 1) * 1e-6 + c * 1e-8 + u(rng));
            }
        }
        t.push_back(0.7e-6);
        return t;
    }

    std::atomic<bool> cancel_{false};
};

// The block's times and pieces for channels, with per-piece seeds or origins.
struct Block {
    std::vector<double> times;
    std::vector<ChannelPiece> pieces;
    void add(int channel, const std::vector<double>& t, std::size_t model = 0, std::uint32_t seed = 0,
             std::uint64_t origin_ticks = 0, double origin = 0.0) {
        ChannelPiece p;
        p.channel = channel;
        p.first = times.size();
        times.insert(times.end(), t.begin(), t.end());
        p.last = times.size();
        p.model = model;
        p.seed = {seed, 1, 2, 3, 4, 5, 6, 7};
        p.origin_ticks = origin_ticks;
        p.origin = origin;
        pieces.push_back(p);
    }
};

template <typename T>
bool same_bits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

TEST_F(ChannelEngineTest, ZozuvUzaColumnsHoldTheRecordsOfSequentialSimulate) {
    for (const int seed : {1, 77}) {
        ChannelEngine<ZozuvUza> engine({zozuvuza(40.0), zozuvuza(80.0)}, kSamples);
        engine.seed_sequential(seed);
        Block block;
        for (int c = 0; c < 4; ++c) {
            block.add(c, pes(c), c % 2); // two parameter sets, alternating
        }
        const auto cols = engine.simulate_sequential(block.pieces, block.times, cancel_);

        // Reference: the models called in the same order with the one generator carried over.
        auto a = zozuvuza(40.0, seed);
        auto b = zozuvuza(80.0, 0);
        std::size_t row = 0;
        for (int c = 0; c < 4; ++c) {
            auto& model = c % 2 ? b : a;
            auto& other = c % 2 ? a : b;
            if (c > 0) {
                model.generator() = other.generator();
            }
            for (const auto& r : model.simulate(pes(c), c)) {
                ASSERT_LT(row, cols.rows()) << "seed " << seed;
                EXPECT_EQ(cols.channel[row], r.channel);
                EXPECT_EQ(cols.trigger_time_s[row], r.trigger_time_s);
                EXPECT_EQ(cols.trigger_time_ticks[row], r.trigger_time_ticks);
                // The exact window start on the 4 ns ADC grid; the stamp truncates
                // it in double precision, so it may lie one tick below.
                EXPECT_EQ(cols.time_ns[row], cols.adc_index[row] * 4);
                const std::int64_t stamp = (std::int64_t{r.trigger_time_s} * 250000000) + r.trigger_time_ticks;
                EXPECT_TRUE(cols.adc_index[row] == stamp || cols.adc_index[row] == stamp + 1) << cols.adc_index[row];
                EXPECT_TRUE(same_bits(cols.baseline[row], r.baseline));
                EXPECT_TRUE(same_bits(cols.intsum[row], r.intsum));
                const std::vector<std::uint16_t> w(cols.waveform.begin() + static_cast<std::ptrdiff_t>(row * kSamples),
                                                   cols.waveform.begin() +
                                                       static_cast<std::ptrdiff_t>((row + 1) * kSamples));
                EXPECT_EQ(w, r.waveform);
                ++row;
            }
        }
        EXPECT_GT(row, 8U);
        EXPECT_EQ(row, cols.rows());
        EXPECT_EQ(cols.waveform.size(), row * kSamples);
    }
}

TEST_F(ChannelEngineTest, MultiPMTIndependentPiecesEqualFreshlySeededModels) {
    ChannelEngine<MultiPMT> engine({multipmt()}, 0);
    Block block;
    for (int c = 0; c < 3; ++c) {
        block.add(10 + c, pes(c), 0, static_cast<std::uint32_t>(100 + c));
    }
    const auto cols = engine.simulate_independent(block.pieces, block.times, cancel_);
    std::size_t row = 0;
    for (int c = 0; c < 3; ++c) {
        auto model = multipmt(40.0, 12345); // the constructor's seed is replaced
        const std::array<std::uint32_t, 8> words{static_cast<std::uint32_t>(100 + c), 1, 2, 3, 4, 5, 6, 7};
        std::seed_seq seq(words.begin(), words.end());
        model.generator().seed(seq);
        for (const auto& r : model.simulate(pes(c), 10 + c)) {
            ASSERT_LT(row, cols.rows());
            EXPECT_TRUE(same_bits(cols.time[row], r.time));
            EXPECT_EQ(cols.channel[row], r.channel);
            EXPECT_TRUE(same_bits(cols.time_over_threshold[row], r.time_over_threshold));
            EXPECT_EQ(cols.adc_sample[row], r.adc_sample);
            ++row;
        }
    }
    EXPECT_GT(row, 8U);
    EXPECT_EQ(row, cols.rows());
}

TEST_F(ChannelEngineTest, MultiPMTOriginMovesTimesBack) {
    ChannelEngine<MultiPMT> engine({multipmt()}, 0);
    Block at_zero, moved;
    at_zero.add(1, pes(1), 0, 9);
    moved.add(1, pes(1), 0, 9, 0, 2.5);
    const auto a = engine.simulate_independent(at_zero.pieces, at_zero.times, cancel_);
    const auto b = engine.simulate_independent(moved.pieces, moved.times, cancel_);
    ASSERT_EQ(a.rows(), b.rows());
    ASSERT_GT(a.rows(), 0U);
    for (std::size_t i = 0; i < a.rows(); ++i) {
        EXPECT_EQ(b.time[i], a.time[i] + 2.5);
        EXPECT_EQ(b.adc_sample[i], a.adc_sample[i]);
    }
}

TEST_F(ChannelEngineTest, FailuresNameTheChannelAndKeepTheCause) {
    ChannelEngine<ZozuvUza> engine({zozuvuza(40.0, 0, ZozuvUza::EarlyHandling::THROW)}, kSamples);
    Block block;
    block.add(3, pes(3));
    block.add(4, {-1e-6, -1e-6, -1e-6, -1e-6, -1e-6, -1e-6, -1e-6, -1e-6, -1e-6, -1e-6}); // a window before time 0
    try {
        engine.simulate_independent(block.pieces, block.times, cancel_);
        FAIL() << "no failure";
    } catch (const ChannelFailure& f) {
        EXPECT_EQ(f.channel, 4);
        EXPECT_THROW(std::rethrow_exception(f.cause), std::runtime_error);
    }
}

TEST_F(ChannelEngineTest, WaveformsOfAnotherLengthAreAnError) {
    ChannelEngine<ZozuvUza> engine({zozuvuza()}, kSamples + 1);
    Block block;
    block.add(0, pes(0));
    EXPECT_THROW(engine.simulate_independent(block.pieces, block.times, cancel_), ChannelFailure);
}

TEST_F(ChannelEngineTest, BadPiecesAndCancelStopBeforeSimulating) {
    ChannelEngine<ZozuvUza> engine({zozuvuza()}, kSamples);
    Block block;
    block.add(0, pes(0), 1);
    EXPECT_THROW(engine.simulate_independent(block.pieces, block.times, cancel_), std::out_of_range);
    block.pieces[0].model = 0;
    block.pieces[0].last = block.times.size() + 1;
    EXPECT_THROW(engine.simulate_sequential(block.pieces, block.times, cancel_), std::out_of_range);
    block.pieces[0].last = block.times.size();
    cancel_ = true;
    EXPECT_THROW(engine.simulate_independent(block.pieces, block.times, cancel_), Cancelled);
}

TEST_F(ChannelEngineTest, CancelStopsALongPieceFromAnotherThread) {
    ChannelEngine<ZozuvUza> engine({zozuvuza()}, kSamples);
    Block block;
    std::vector<double> many(4'000'000);
    for (std::size_t i = 0; i < many.size(); ++i) {
        many[i] = static_cast<double>(i) * 1e-7;
    }
    block.add(0, many);
    std::thread canceller([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        cancel_ = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(engine.simulate_independent(block.pieces, block.times, cancel_), Cancelled);
    canceller.join();
    // Far less than the piece's simulation, which takes seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

} // namespace
} // namespace velmora
