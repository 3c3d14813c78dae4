// What the run engine notes beside the records: which PEs made each record,
// which samples a clip cut, and baseline noise on every window sample. Each
// is checked against a direct computation from the model's own draws, and
// shown to change no record.
#include "CallTrace.h"
#include "PMTResponse.h"
#include "TestFiles.h"
#include "batch/ChannelEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
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
constexpr int kRatio = 40;
constexpr int kSamples = 16;

std::vector<std::pair<double, double>> shape_points(int n, double step, double rise, double decay) {
    std::vector<std::pair<double, double>> points;
    for (int i = 0; i < n; ++i) {
        points.emplace_back(i * step, (1.0 - std::exp(-i / rise)) * std::exp(-i / decay));
    }
    return points;
}

std::vector<double> values(const std::vector<std::pair<double, double>>& points) {
    std::vector<double> y;
    for (const auto& p : points) {
        y.push_back(p.second);
    }
    return y;
}

struct Settings {
    int jitter = -1;
    double gain = 40.0;
    double offset = 10.0;
    double preamp_clip = 4000.0;
    double noise = 1.5;
    double clip = 4095.0;
    int trigger_offset = -4;
};

class EngineTruthTest : public ::testing::Test {
  protected:
    std::vector<std::pair<double, double>> pulse_points_ = shape_points(300, kPmtStep, 10.0, 60.0);
    std::vector<std::pair<double, double>> tot_points_ = shape_points(40, kTotStep, 4.0, 8.0);
    TempFile time_{points_text({{0, 1}, {1e-9, 2}, {3e-9, 0}})};
    TempFile amplitude_{points_text({{0.2, 0}, {1, 1}, {2, 0}})};
    TempFile pulse_{points_text(pulse_points_)};
    TempFile tot_pulse_{points_text(tot_points_)};

    ZozuvUza zozuvuza(const Settings& s = {}) const {
        return ZozuvUza(time_.path(), amplitude_.path(), kPmtStep, kAdcStep, pulse_.path(), s.jitter, s.gain, s.offset,
                        s.preamp_clip, s.noise, s.clip, kSamples, kSamples, {1, 1}, 40, 1, s.trigger_offset, 0,
                        ZozuvUza::EarlyHandling::ZERO);
    }
    MultiPMT multipmt(double gain = 40.0, double clip = 4095.0, int jitter = -1, double tot_jitter = 0.2e-9,
                      double sample_delay = 8e-9) const {
        return MultiPMT(time_.path(), amplitude_.path(), kPmtStep, kTotStep, tot_pulse_.path(), 0.3, 5e-9, 0.05,
                        tot_jitter, kAdcStep, pulse_.path(), jitter, gain, 10.0, 1.5, clip, sample_delay, 0);
    }

    // Flashes of 10 PEs every 1 us, scattered single PEs (dark-noise-like)
    // and one PE far from everything.
    static std::vector<double> pes(int c) {
        std::vector<double> t;
        std::mt19937 rng(static_cast<unsigned>(c));
        std::uniform_real_distribution<double> u(0.0, 1e-9);
        std::uniform_real_distribution<double> anywhere(0.0, 6e-6);
        for (int f = 0; f < 5; ++f) {
            for (int k = 0; k < 10; ++k) {
                t.push_back((f + 1) * 1e-6 + c * 1e-8 + u(rng));
            }
            t.push_back(anywhere(rng));
            t.push_back((f + 1) * 1e-6 + 12e-9 + u(rng)); // a late PE in the flash's window
        }
        t.push_back(0.7e-6);
        return t;
    }

    std::atomic<bool> cancel_{false};
};

struct Block {
    std::vector<double> times;
    std::vector<ChannelPiece> pieces;
    void add(int channel, const std::vector<double>& t, std::uint32_t seed = 0, double origin = 0.0) {
        ChannelPiece p;
        p.channel = channel;
        p.first = times.size();
        times.insert(times.end(), t.begin(), t.end());
        p.last = times.size();
        p.seed = {seed, 1, 2, 3, 4, 5, 6, 7};
        p.origin = origin;
        p.origin_ticks = static_cast<std::uint64_t>(std::llround(origin / 4e-9));
        pieces.push_back(p);
    }
};

template <typename T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

void expect_same_records(const ZozuvUzaColumns& a, const ZozuvUzaColumns& b) {
    EXPECT_TRUE(same_bits(a.channel, b.channel));
    EXPECT_TRUE(same_bits(a.time_ns, b.time_ns));
    EXPECT_TRUE(same_bits(a.trigger_time_s, b.trigger_time_s));
    EXPECT_TRUE(same_bits(a.trigger_time_ticks, b.trigger_time_ticks));
    EXPECT_TRUE(same_bits(a.baseline, b.baseline));
    EXPECT_TRUE(same_bits(a.intsum, b.intsum));
    EXPECT_TRUE(same_bits(a.waveform, b.waveform));
}

void expect_same_records(const MultiPMTColumns& a, const MultiPMTColumns& b) {
    EXPECT_TRUE(same_bits(a.time, b.time));
    EXPECT_TRUE(same_bits(a.channel, b.channel));
    EXPECT_TRUE(same_bits(a.time_over_threshold, b.time_over_threshold));
    EXPECT_TRUE(same_bits(a.adc_sample, b.adc_sample));
    EXPECT_TRUE(same_bits(a.tdc_count, b.tdc_count));
}

// The (record row, PE index) pairs of the links.
std::set<std::pair<std::int64_t, std::int64_t>> link_set(const TruthColumns& t) {
    std::set<std::pair<std::int64_t, std::int64_t>> out;
    for (std::size_t i = 0; i < t.link_record.size(); ++i) {
        out.emplace(t.link_record[i], t.link_pe[i]);
    }
    return out;
}

template <typename Model>
void expect_extras_change_nothing(const std::vector<Model>& models, std::size_t samples, const Block& block,
                                  std::atomic<bool>& cancel, const std::string& what) {
    SCOPED_TRACE(what);
    const std::vector<std::uint8_t> kinds(block.times.size(), 1);
    RunExtras off;
    off.saturation = false;
    RunExtras on;
    on.truth = true;
    on.kinds = &kinds;
    for (const bool sequential : {false, true}) {
        SCOPED_TRACE(sequential ? "sequential" : "independent");
        ChannelEngine<Model> plain(models, samples);
        ChannelEngine<Model> traced(models, samples);
        plain.seed_sequential(5);
        traced.seed_sequential(5);
        // Twice, so that the sequential generator's hand-over is compared too.
        for (int round = 0; round < 2; ++round) {
            const auto a = sequential ? plain.simulate_sequential(block.pieces, block.times, cancel, nullptr, off)
                                      : plain.simulate_independent(block.pieces, block.times, cancel, nullptr, off);
            const auto b = sequential ? traced.simulate_sequential(block.pieces, block.times, cancel, nullptr, on)
                                      : traced.simulate_independent(block.pieces, block.times, cancel, nullptr, on);
            ASSERT_GT(a.rows(), 10U);
            expect_same_records(a, b);
            EXPECT_EQ(b.truth.n_pe.size(), b.rows());
            EXPECT_TRUE(a.truth.n_pe.empty());
            EXPECT_GT(b.truth.link_pe.size(), b.rows());
        }
    }
}

TEST_F(EngineTruthTest, TruthAndSaturationChangeNoRecord) {
    Block block;
    for (int c = 0; c < 3; ++c) {
        block.add(c, pes(c), static_cast<std::uint32_t>(40 + c));
    }
    // A segment-like piece: times counted from its own origin.
    block.add(3, pes(3), 43, 2e-3);
    expect_extras_change_nothing<ZozuvUza>({zozuvuza()}, kSamples, block, cancel_, "ZozuvUza");
    expect_extras_change_nothing<MultiPMT>({multipmt()}, 0, block, cancel_, "MultiPMT");
}

using Shares = std::map<std::pair<std::int64_t, std::int64_t>, double>;

// The contributions a dense search finds, with their fractions: every PE,
// every sample of every window, tap by tap, from the model's own draws (as
// the trace of a direct call notes them) and the pulse-shape file's values;
// a fraction is the |tap| summed over the window's samples over the |tap|
// summed over every sample under the pulse.
Shares dense_adc_links(const CallTrace& trace, const std::vector<double>& kernel, int span) {
    Shares out;
    const auto taps = static_cast<std::int64_t>(kernel.size());
    for (std::size_t j = 0; j < trace.pe_indices.size(); ++j) {
        const auto weight = [&](std::int64_t k) {
            const std::int64_t tap = k * trace.adc_ratio + trace.adc_phase - trace.pe_indices[j];
            return tap >= 0 && tap < taps ? std::abs(kernel[static_cast<std::size_t>(tap)]) : 0.0;
        };
        double total = 0.0;
        for (std::int64_t k = trace.pe_indices[j] / trace.adc_ratio - 2;
             k * trace.adc_ratio <= trace.pe_indices[j] + taps + trace.adc_ratio; ++k) {
            total += weight(k);
        }
        for (std::size_t r = 0; r < trace.record_points.size(); ++r) {
            double inside = 0.0;
            for (std::int64_t k = trace.record_points[r]; k < trace.record_points[r] + span; ++k) {
                inside += weight(k);
            }
            if (inside > 0.0 && trace.pe_amplitudes[j] != 0.0) {
                out[{static_cast<std::int64_t>(r), static_cast<std::int64_t>(j)}] = inside / total;
            }
        }
    }
    return out;
}

// The links' fractions by (record row, PE index).
Shares link_shares(const TruthColumns& t) {
    Shares out;
    for (std::size_t i = 0; i < t.link_record.size(); ++i) {
        out[{t.link_record[i], t.link_pe[i]}] = t.link_fraction[i];
    }
    return out;
}

void expect_same_shares(const Shares& found, const Shares& expected) {
    ASSERT_EQ(found.size(), expected.size());
    for (auto f = found.begin(), e = expected.begin(); f != found.end(); ++f, ++e) {
        ASSERT_EQ(f->first, e->first);
        EXPECT_NEAR(f->second, e->second, 1e-12) << "record " << f->first.first << ", PE " << f->first.second;
    }
}

TEST_F(EngineTruthTest, TraceNotesTheDrawsOfTheCall) {
    // The PE draws and the sampling phase, made again from a generator in the
    // same state: the time offset, then the amplitude, PE by PE, then the phase.
    auto model = zozuvuza();
    const auto t = pes(2);
    model.generator().seed(99);
    CallTrace trace;
    trace.pes = true;
    model.simulate(t, 2, SimulateContext{.trace = &trace});
    MersenneTwister rng(99);
    const auto time_distribution = load_spectrum(time_.path());
    const auto amplitude_distribution = load_spectrum(amplitude_.path());
    ASSERT_EQ(trace.pe_offsets.size(), t.size());
    for (std::size_t j = 0; j < t.size(); ++j) {
        const double dt = time_distribution(rng);
        const double a = amplitude_distribution(rng);
        EXPECT_EQ(trace.pe_offsets[j], dt) << "PE " << j;
        EXPECT_EQ(trace.pe_amplitudes[j], a) << "PE " << j;
        EXPECT_EQ(trace.pe_indices[j], time_to_index(t[j] + dt, kPmtStep)) << "PE " << j;
    }
    EXPECT_EQ(trace.adc_ratio, kRatio);
    EXPECT_EQ(trace.adc_phase, draw::uniform_int(rng, 0, kRatio - 1));
    EXPECT_FALSE(trace.record_points.empty());
}

TEST_F(EngineTruthTest, ZozuvUzaTruthIsTheDenseSearch) {
    for (const int jitter : {-1, 0, 17}) {
        for (const int trigger_offset : {-4, -20, 30}) {
            SCOPED_TRACE("jitter " + std::to_string(jitter) + ", trigger_offset " + std::to_string(trigger_offset));
            Settings s;
            s.jitter = jitter;
            s.trigger_offset = trigger_offset;
            const auto model = zozuvuza(s);
            ChannelEngine<ZozuvUza> engine({model}, kSamples);
            Block block;
            block.add(0, pes(1), 7);
            block.add(1, pes(2), 8);
            RunExtras extras;
            extras.truth = true;
            const auto cols = engine.simulate_independent(block.pieces, block.times, cancel_, nullptr, extras);

            Shares expected;
            std::size_t row0 = 0;
            for (const auto& piece : block.pieces) {
                auto direct = model;
                std::seed_seq seq(piece.seed.begin(), piece.seed.end());
                direct.generator().seed(seq);
                CallTrace trace;
                trace.pes = true;
                const std::vector<double> t(block.times.begin() + static_cast<std::ptrdiff_t>(piece.first),
                                            block.times.begin() + static_cast<std::ptrdiff_t>(piece.last));
                const auto records = direct.simulate(t, piece.channel, SimulateContext{.trace = &trace});
                for (const auto& [link, share] : dense_adc_links(trace, values(pulse_points_), kSamples)) {
                    expected[{static_cast<std::int64_t>(row0) + link.first,
                              static_cast<std::int64_t>(piece.first) + link.second}] = share;
                }
                row0 += records.size();
            }
            ASSERT_EQ(row0, cols.rows());
            expect_same_shares(link_shares(cols.truth), expected);
            // Windows opening 4 samples before the trigger read the flashes.
            if (trigger_offset == -4) {
                EXPECT_GT(expected.size(), cols.rows() * 5);
            }
        }
    }
}

TEST_F(EngineTruthTest, ZozuvUzaSamplesAreTheLinkedPEsPulses) {
    // Without noise, at a fixed phase, every sample with an entry is the ADC
    // conversion of the linked PEs' pulses alone: a PE missing from the links
    // would be missing from the sum.
    Settings s;
    s.jitter = 0;
    s.noise = 0.0;
    s.offset = 0.0;
    const auto model = zozuvuza(s);
    ChannelEngine<ZozuvUza> engine({model}, kSamples);
    Block block;
    block.add(0, pes(4), 3);
    RunExtras extras;
    extras.truth = true;
    const auto cols = engine.simulate_independent(block.pieces, block.times, cancel_, nullptr, extras);
    ASSERT_GT(cols.rows(), 4U);
    const auto kernel = values(pulse_points_);
    const auto& links = cols.truth;
    std::size_t checked = 0;
    for (std::size_t r = 0; r < cols.rows(); ++r) {
        std::vector<std::pair<std::int64_t, double>> pulses; // index, amplitude
        for (std::size_t l = 0; l < links.link_record.size(); ++l) {
            if (links.link_record[l] == static_cast<std::int64_t>(r)) {
                pulses.emplace_back(time_to_index(links.link_time[l], kPmtStep), links.link_amplitude[l]);
            }
        }
        ASSERT_EQ(pulses.size(), links.n_pe_any[r]);
        // The window's first ADC index: its time stamp in 4 ns ticks, or one
        // more where the stamp's truncation came out a tick low.
        const auto mismatches = [&](std::int64_t first, bool count) {
            int bad = 0;
            for (int j = 0; j < kSamples; ++j) {
                const std::int64_t point = (first + j) * kRatio;
                double sum = 0.0;
                for (const auto& [i, a] : pulses) {
                    if (point >= i && point - i < static_cast<std::int64_t>(kernel.size())) {
                        sum += a * kernel[static_cast<std::size_t>(point - i)];
                    }
                }
                const int sample = cols.waveform[r * kSamples + static_cast<std::size_t>(j)];
                if (sample != 0) {
                    bad += std::abs(sample - std::round(sum * s.gain)) > 1.0;
                    checked += count ? 1 : 0;
                }
            }
            return bad;
        };
        const std::int64_t stamp = cols.time_ns[r] / 4;
        EXPECT_EQ(std::min(mismatches(stamp, true), mismatches(stamp + 1, false)), 0) << "record " << r;
    }
    EXPECT_GT(checked, cols.rows() * 4);
}

// Every truth column of every record, worked out again from the links: each
// PE counted in the record of its largest fraction above 0 (the earliest on
// a tie), true_charge the sum of fraction x amplitude, n_pe_any the links.
void expect_columns_follow_the_links(const TruthColumns& t, std::size_t rows, const std::vector<std::uint8_t>& kinds) {
    std::map<std::int64_t, std::pair<double, std::int64_t>> best; // PE: largest fraction, its record
    for (std::size_t l = 0; l < t.link_record.size(); ++l) {
        auto& [fraction, record] = best.try_emplace(t.link_pe[l], 0.0, -1).first->second;
        if (t.link_fraction[l] > fraction || (t.link_fraction[l] == fraction && t.link_record[l] < record)) {
            fraction = t.link_fraction[l];
            record = t.link_record[l];
        }
    }
    std::vector<std::uint32_t> n(rows), any(rows), dark(rows), after(rows);
    std::vector<double> charge(rows), first(rows, INFINITY);
    for (std::size_t l = 0; l < t.link_record.size(); ++l) {
        const auto r = static_cast<std::size_t>(t.link_record[l]);
        const auto pe = static_cast<std::size_t>(t.link_pe[l]);
        ++any[r];
        charge[r] += t.link_fraction[l] * t.link_amplitude[l];
        const auto& [fraction, record] = best.at(t.link_pe[l]);
        if (fraction > 0.0 && record == t.link_record[l]) {
            ++n[r];
            dark[r] += kinds.empty() ? 0 : kinds[pe] == 1;
            after[r] += kinds.empty() ? 0 : kinds[pe] == 2;
            first[r] = std::min(first[r], t.link_time[l]);
        }
        if (l > 0) {
            EXPECT_LT(std::pair(t.link_record[l - 1], t.link_pe[l - 1]), std::pair(t.link_record[l], t.link_pe[l]));
        }
    }
    ASSERT_EQ(t.n_pe.size(), rows);
    for (std::size_t r = 0; r < rows; ++r) {
        EXPECT_EQ(t.n_pe[r], n[r]) << "record " << r;
        EXPECT_EQ(t.n_pe_any[r], any[r]) << "record " << r;
        EXPECT_EQ(t.n_dark[r], dark[r]) << "record " << r;
        EXPECT_EQ(t.n_afterpulse[r], after[r]) << "record " << r;
        EXPECT_DOUBLE_EQ(t.true_charge[r], charge[r]) << "record " << r;
        if (n[r] == 0) {
            EXPECT_TRUE(std::isnan(t.first_pe_time[r])) << "record " << r;
        } else {
            EXPECT_EQ(t.first_pe_time[r], first[r]) << "record " << r;
        }
    }
}

// What every run with truth must hold, whatever the pulses: each fraction
// within [0, 1] (above 0 for ZozuvUza, whose links need a non-zero weight),
// each PE's fractions adding up to at most 1 and the PE counted at most
// once, so that the records' n_pe add up to at most the PEs and their
// true_charge to at most the PEs' total charge.
void expect_shares_add_up(const TruthColumns& t, std::size_t n_pes, double total_charge, bool zozuvuza) {
    std::map<std::int64_t, double> shares;
    for (std::size_t l = 0; l < t.link_fraction.size(); ++l) {
        EXPECT_LE(t.link_fraction[l], 1.0);
        if (zozuvuza) {
            EXPECT_GT(t.link_fraction[l], 0.0);
        } else {
            EXPECT_GE(t.link_fraction[l], 0.0);
        }
        shares[t.link_pe[l]] += t.link_fraction[l];
    }
    for (const auto& [pe, share] : shares) {
        EXPECT_LE(share, 1.0 + 1e-12) << "PE " << pe;
        if (!zozuvuza && share > 0.0) {
            // A MultiPMT pulse is shared among the hits its taps lie in, wholly.
            EXPECT_NEAR(share, 1.0, 1e-12) << "PE " << pe;
        }
    }
    std::uint64_t counted = 0;
    double charge = 0.0;
    for (std::size_t r = 0; r < t.n_pe.size(); ++r) {
        counted += t.n_pe[r];
        charge += t.true_charge[r];
        EXPECT_LE(t.n_pe[r], t.n_pe_any[r]);
    }
    EXPECT_LE(counted, std::min<std::size_t>(n_pes, shares.size()));
    EXPECT_LE(charge, total_charge * (1.0 + 1e-12));
}

TEST_F(EngineTruthTest, TruthColumnsFollowTheLinks) {
    for (const bool multi : {false, true}) {
        SCOPED_TRACE(multi ? "MultiPMT" : "ZozuvUza");
        Block block;
        block.add(5, pes(5), 1, 1e-3);
        block.add(6, pes(6), 2);
        std::vector<std::uint8_t> kinds(block.times.size(), 0);
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            kinds[i] = static_cast<std::uint8_t>(i % 3);
        }
        RunExtras extras;
        extras.truth = true;
        extras.kinds = &kinds;
        const auto check = [&](const auto& cols) {
            const auto& t = cols.truth;
            ASSERT_GT(cols.rows(), 4U);
            for (std::size_t l = 0; l < t.link_record.size(); ++l) {
                // The drawn arrival lies within the time spectrum's range
                // after the PE time, in the run's time.
                const auto pe = static_cast<std::size_t>(t.link_pe[l]);
                const double origin = pe < block.pieces[0].last ? 1e-3 : 0.0;
                EXPECT_GE(t.link_time[l], origin + block.times[pe]);
                EXPECT_LE(t.link_time[l], origin + block.times[pe] + 3e-9);
            }
            expect_columns_follow_the_links(t, cols.rows(), kinds);
            double linked_charge = 0.0;
            std::map<std::int64_t, double> amplitude;
            for (std::size_t l = 0; l < t.link_pe.size(); ++l) {
                amplitude[t.link_pe[l]] = t.link_amplitude[l];
            }
            for (const auto& [pe, a] : amplitude) {
                linked_charge += a;
            }
            expect_shares_add_up(t, block.times.size(), linked_charge, !multi);
        };
        if (multi) {
            ChannelEngine<MultiPMT> engine({multipmt()}, 0);
            check(engine.simulate_independent(block.pieces, block.times, cancel_, nullptr, extras));
        } else {
            ChannelEngine<ZozuvUza> engine({zozuvuza()}, kSamples);
            check(engine.simulate_independent(block.pieces, block.times, cancel_, nullptr, extras));
        }
    }
}

// The ToT-shaped entries to which PE j's pulse adds something, each with the
// |tap| its taps add there: the library's own convolution, with the pulse
// shape's absolute values, of the PMT waveform whose entries all stay (so
// the merging stays the same) with amplitude 1 at PE j's entry and 0 at
// every other.
std::map<std::int64_t, double> tot_reach(const CallTrace& trace, const SparseConvolution<double>& shape,
                                         std::size_t j) {
    std::map<std::int64_t, double> amplitudes;
    for (std::size_t m = 0; m < trace.pe_indices.size(); ++m) {
        amplitudes[trace.pe_indices[m]] += 0.0;
    }
    amplitudes[trace.pe_indices[j]] = 1.0;
    SparseWaveform<double> summed(trace.pmt_step);
    for (const auto& [i, a] : amplitudes) {
        summed.add_at_index(i, a);
    }
    std::map<std::int64_t, double> out;
    const auto shaped = shape.convolve(summed);
    for (const auto& [index, weight] : shaped.samples()) {
        if (weight != 0.0) {
            out[index] = weight;
        }
    }
    return out;
}

TEST_F(EngineTruthTest, MultiPMTTruthFollowsBothBranches) {
    std::size_t tot_only = 0;
    for (const int jitter : {-1, 3}) {
        SCOPED_TRACE("adc_jitter " + std::to_string(jitter));
        // The ADC sample read 1 ns after the hit's start, before the
        // flash's later PEs arrive: those reach the record through the ToT
        // branch alone.
        const auto model = multipmt(40.0, 4095.0, jitter, 0.0, 1e-9);
        ChannelEngine<MultiPMT> engine({model}, 0);
        Block block;
        block.add(0, pes(7), 11);
        RunExtras extras;
        extras.truth = true;
        const auto cols = engine.simulate_independent(block.pieces, block.times, cancel_, nullptr, extras);
        ASSERT_GT(cols.rows(), 4U);

        auto direct = model;
        std::seed_seq seq(block.pieces[0].seed.begin(), block.pieces[0].seed.end());
        direct.generator().seed(seq);
        CallTrace trace;
        trace.pes = true;
        direct.simulate(block.times, 0, SimulateContext{.trace = &trace});
        ASSERT_EQ(trace.tot_spans.size(), cols.rows());
        std::vector<double> magnitudes = values(tot_points_);
        for (double& tap : magnitudes) {
            tap = std::abs(tap);
        }
        const SparseConvolution<double> tot_shape(kTotStep, magnitudes);
        // The ADC branch links with fraction 0; the ToT branch gives the share.
        Shares expected;
        for (const auto& [link, share] : dense_adc_links(trace, values(pulse_points_), 1)) {
            expected[link] = 0.0;
        }
        std::vector<std::map<std::int64_t, double>> reach(trace.pe_indices.size());
        for (std::size_t j = 0; j < reach.size(); ++j) {
            reach[j] = tot_reach(trace, tot_shape, j);
        }
        // Per PE, the |tap| of its pulse within each hit, and within any hit:
        // its share of a hit is of the part that lies within hits.
        std::vector<std::vector<double>> within(reach.size(), std::vector<double>(cols.rows(), 0.0));
        std::vector<double> in_hits(reach.size(), 0.0);
        for (std::size_t r = 0; r < cols.rows(); ++r) {
            // The hit opened at its span's first sample (no TDC jitter here).
            const auto [open, close] = trace.tot_spans[r];
            EXPECT_NEAR(cols.time[r], static_cast<double>(open) * kPmtStep, kTotStep / 2 + 1e-15);
            EXPECT_LE(open, close);
            for (std::size_t j = 0; j < trace.pe_indices.size(); ++j) {
                for (auto at = reach[j].lower_bound(open); at != reach[j].end() && at->first <= close; ++at) {
                    within[j][r] += at->second;
                }
                in_hits[j] += within[j][r];
            }
        }
        for (std::size_t r = 0; r < cols.rows(); ++r) {
            for (std::size_t j = 0; j < trace.pe_indices.size(); ++j) {
                if (within[j][r] > 0.0 && trace.pe_amplitudes[j] != 0.0) {
                    const std::pair<std::int64_t, std::int64_t> link{static_cast<std::int64_t>(r),
                                                                     static_cast<std::int64_t>(j)};
                    tot_only += expected.count(link) == 0 ? 1 : 0;
                    expected[link] = within[j][r] / in_hits[j];
                }
            }
        }
        expect_same_shares(link_shares(cols.truth), expected);
    }
    EXPECT_GT(tot_only, 0U); // the ToT branch adds PEs that the ADC sample does not read
}

TEST(EngineTruth, ToTContributionLandsWhereTheConvolutionMergesIt) {
    // ToT pulse shape [0.3, 0] on a TDC step of 5 PMT steps. PE A at index
    // -1 makes shaped entries -1 (0.3) and 4 (0). PEs C and E at index 3 sum
    // to 2; their first tap, due at 3, adds into the existing entry 4 (0.6),
    // which opens the hit; their second tap makes entry 8 (0), which closes
    // it. The hit spans [4, 8]: C and E made it, A did not.
    TempFile time(points_text({{0, 1}, {1e-14, 1}}));
    TempFile amplitude(points_text({{1, 1}, {1 + 1e-9, 1}}));
    TempFile tot(points_text({{0, 0.3}, {5e-10, 0}}));
    TempFile adc(points_text({{0, 0}, {1e-10, 0}}));
    const MultiPMT model(time.path(), amplitude.path(), kPmtStep, kTotStep, tot.path(), 0.5, 0.0, 0.0, 0.0, kAdcStep,
                         adc.path(), 0, 1.0, 10.0, 0.0, 4095.0, 0.0, 0);
    ChannelEngine<MultiPMT> engine({model}, 0);
    Block block;
    block.add(0, {-1e-10, 3e-10, 3e-10});
    RunExtras extras;
    extras.truth = true;
    std::atomic<bool> cancel{false};
    const auto cols = engine.simulate_independent(block.pieces, block.times, cancel, nullptr, extras);
    ASSERT_EQ(cols.rows(), 1U);
    EXPECT_DOUBLE_EQ(cols.time[0], 5e-10); // opened at index 4, on the TDC grid
    const std::set<std::pair<std::int64_t, std::int64_t>> expected{{0, 1}, {0, 2}};
    EXPECT_EQ(link_set(cols.truth), expected);
}

// A ZozuvUza detector without spreads or noise: PE times land on the PMT
// index they name, amplitudes are 1, the sampling phase is 0, and one PE
// alone (10 LSB at most) stays below the trigger threshold that a flash of
// ten passes.
struct ExactZozuvUza {
    TempFile time{points_text({{0, 1}, {1e-14, 1}})};
    TempFile amplitude{points_text({{1, 1}, {1 + 1e-12, 1}})};
    TempFile pulse;
    static constexpr int samples = 8;

    explicit ExactZozuvUza(const std::vector<double>& kernel) : pulse(points_text(kernel_points(kernel))) {}

    static std::vector<std::pair<double, double>> kernel_points(const std::vector<double>& kernel) {
        std::vector<std::pair<double, double>> points;
        for (std::size_t j = 0; j < kernel.size(); ++j) {
            points.emplace_back(static_cast<double>(j) * kPmtStep, kernel[j]);
        }
        return points;
    }
    ZozuvUza model() const {
        return ZozuvUza(time.path(), amplitude.path(), kPmtStep, kAdcStep, pulse.path(), 0, 10.0, 0.0, 4000.0, 0.0,
                        4095.0, samples, samples, {1}, 50, 1, -2, 0, ZozuvUza::EarlyHandling::ZERO);
    }
    // The time of a PE on PMT index i, well inside the index's step.
    static double at(std::int64_t i) { return (static_cast<double>(i) + 0.5) * kPmtStep; }
};

// Pulse shapes whose taps fall on ADC samples as given: one value per
// sample, 40 PMT steps apart, the probe PE placed so that `after` (a tap
// index) is sampled by the first sample after the window.
struct WindowEdgeCase {
    const char* name;
    std::vector<double> kernel;
    std::int64_t after;
    double fraction; // of the probe in the window; 0 for no link
};

std::vector<double> lobes(std::initializer_list<std::pair<int, double>> runs) {
    std::vector<double> kernel;
    for (const auto& [length, value] : runs) {
        kernel.insert(kernel.end(), static_cast<std::size_t>(length), value);
    }
    return kernel;
}

class WindowEdge : public ::testing::TestWithParam<WindowEdgeCase> {};

// The window's last sample is its first plus waveform_samples - 1: a PE that
// reaches the sample after it only there adds nothing to the record, and a
// PE whose pulse continues there keeps only the share inside.
TEST_P(WindowEdge, TheWindowEndsAtItsLastSample) {
    const auto& c = GetParam();
    const ExactZozuvUza detector(c.kernel);
    const auto model = detector.model();
    // Two flashes of ten PEs one sample apart make one window (the trigger
    // takes a sample after the first of a run).
    const std::int64_t flash = 1000 * kRatio;
    std::vector<double> flash_times(10, ExactZozuvUza::at(flash));
    flash_times.insert(flash_times.end(), 10, ExactZozuvUza::at(flash + kRatio));
    CallTrace trace;
    trace.pes = true;
    {
        auto direct = model;
        ASSERT_EQ(direct.simulate(flash_times, 0, SimulateContext{.trace = &trace}).size(), 1U);
    }
    ASSERT_EQ(trace.adc_phase, 0);
    const std::int64_t after = trace.record_points[0] + ExactZozuvUza::samples;
    // The probe's tap `after` lies on the first sample after the window.
    auto times = flash_times;
    times.push_back(ExactZozuvUza::at((after * kRatio) - c.after));
    ChannelEngine<ZozuvUza> engine({model}, ExactZozuvUza::samples);
    Block block;
    block.add(0, times);
    RunExtras extras;
    extras.truth = true;
    std::atomic<bool> cancel{false};
    const auto cols = engine.simulate_independent(block.pieces, block.times, cancel, nullptr, extras);
    ASSERT_EQ(cols.rows(), 1U);
    const auto shares = link_shares(cols.truth);
    const auto probe = shares.find({0, 20});
    if (c.fraction == 0.0) {
        EXPECT_EQ(probe, shares.end());
        EXPECT_EQ(cols.truth.n_pe_any[0], 20U);
    } else {
        ASSERT_NE(probe, shares.end());
        EXPECT_NEAR(probe->second, c.fraction, 1e-12);
        EXPECT_EQ(cols.truth.n_pe[0], 21U);
    }
}

INSTANTIATE_TEST_SUITE_P(EngineTruth, WindowEdge,
                         ::testing::Values(
                             // A spike: one non-zero tap, the window's last sample reads a zero one.
                             WindowEdgeCase{"spike", lobes({{40, 0.0}, {1, 1.0}}), 40, 0.0},
                             // A gap of zeros under the window's last sample: 1 inside, 0.5 after.
                             WindowEdgeCase{"gap", lobes({{40, 1.0}, {40, 0.0}, {40, 0.5}}), 85, 1.0 / 1.5},
                             // A second lobe, negative, after a stretch of zeros: it weighs its
                             // magnitude, and only the part inside the window counts.
                             WindowEdgeCase{"second_lobe", lobes({{60, 1.0}, {20, 0.0}, {60, -0.3}}), 90, 2.0 / 2.6},
                             // A pulse whose first non-zero tap is sampled just after the window.
                             WindowEdgeCase{"reach_after", lobes({{80, 0.8}}), 0, 0.0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A MultiPMT detector without spreads or noise whose ADC pulse is all zeros:
// only the ToT branch links.
struct ExactMultiPMT {
    TempFile time{points_text({{0, 1}, {1e-14, 1}})};
    TempFile amplitude{points_text({{1, 1}, {1 + 1e-12, 1}})};
    TempFile tot;
    TempFile adc{points_text({{0, 0}, {1e-10, 0}})};

    explicit ExactMultiPMT(const std::vector<std::pair<double, double>>& tot_points) : tot(points_text(tot_points)) {}
    MultiPMT model() const {
        return MultiPMT(time.path(), amplitude.path(), kPmtStep, kTotStep, tot.path(), 0.5, 0.0, 0.0, 0.0, kAdcStep,
                        adc.path(), 0, 1.0, 10.0, 0.0, 4095.0, 0.0, 0);
    }
};

TEST(EngineTruth, LoneToTEntryCountsInAHitClosingAtItsFirstNonZeroTap) {
    // ToT pulse (0, 0), (0.5 ns, 1): a PE at index a makes entries a (0)
    // and a + 5 (1); the hit opens at a + 5 and, open at the end, closes at
    // the last stored sample, a + 5 again: its first non-zero tap.
    const ExactMultiPMT detector({{0, 0}, {5e-10, 1}});
    ChannelEngine<MultiPMT> engine({detector.model()}, 0);
    Block block;
    for (int c = 0; c < 4; ++c) {
        block.add(c, {ExactZozuvUza::at(100 + (7 * c))}, static_cast<std::uint32_t>(c));
    }
    RunExtras extras;
    extras.truth = true;
    std::atomic<bool> cancel{false};
    const auto cols = engine.simulate_independent(block.pieces, block.times, cancel, nullptr, extras);
    ASSERT_EQ(cols.rows(), 4U);
    for (std::size_t r = 0; r < cols.rows(); ++r) {
        EXPECT_EQ(cols.truth.n_pe[r], 1U) << "channel " << cols.channel[r];
    }
    ASSERT_EQ(cols.truth.link_fraction.size(), 4U);
    for (std::size_t r = 0; r < cols.rows(); ++r) {
        EXPECT_EQ(cols.truth.n_pe_any[r], 1U);
        EXPECT_EQ(cols.truth.link_fraction[r], 1.0);
        EXPECT_EQ(cols.truth.true_charge[r], cols.truth.link_amplitude[r]);
    }
}

TEST(EngineTruth, APulseSplitEvenlyCountsInTheEarlierHit) {
    // ToT pulse 1, 0, 1: the hit opened by the first tap closes at the
    // second (0); the third opens a second hit. Each holds half the pulse.
    const ExactMultiPMT detector({{0, 1}, {5e-10, 0}, {1e-9, 1}});
    ChannelEngine<MultiPMT> engine({detector.model()}, 0);
    Block block;
    block.add(0, {ExactZozuvUza::at(100)});
    RunExtras extras;
    extras.truth = true;
    std::atomic<bool> cancel{false};
    const auto cols = engine.simulate_independent(block.pieces, block.times, cancel, nullptr, extras);
    ASSERT_EQ(cols.rows(), 2U);
    const auto& t = cols.truth;
    EXPECT_EQ(t.link_fraction, (std::vector<double>{0.5, 0.5}));
    EXPECT_EQ(t.n_pe, (std::vector<std::uint32_t>{1, 0}));
    EXPECT_EQ(t.n_pe_any, (std::vector<std::uint32_t>{1, 1}));
    EXPECT_EQ(t.true_charge[0], 0.5 * t.link_amplitude[0]);
    EXPECT_EQ(t.true_charge[1], t.true_charge[0]);
    EXPECT_FALSE(std::isnan(t.first_pe_time[0]));
    EXPECT_TRUE(std::isnan(t.first_pe_time[1]));
}

TEST(EngineTruth, PulsesWhollyInsideTheirRecordsKeepAllTheirCharge) {
    // Isolated PEs and small flashes, each pulse inside one record: a ToT
    // pulse whose non-zero taps all lie above the threshold, a ZozuvUza
    // window that holds the whole pulse. Every fraction is 1, and the
    // records' true_charge adds up to the PEs' charge.
    std::vector<double> times;
    for (int k = 0; k < 20; ++k) {
        for (int m = 0; m <= k % 3; ++m) {
            times.push_back((k + 1) * 1e-6 + m * 1e-10);
        }
    }
    RunExtras extras;
    extras.truth = true;
    std::atomic<bool> cancel{false};
    Block block;
    block.add(0, times);
    const auto check = [&](const TruthColumns& t, std::size_t rows) {
        ASSERT_EQ(t.link_pe.size(), times.size());
        double charge = 0.0;
        for (std::size_t l = 0; l < t.link_pe.size(); ++l) {
            EXPECT_EQ(t.link_fraction[l], 1.0);
            charge += t.link_amplitude[l];
        }
        double true_charge = 0.0;
        std::uint32_t counted = 0;
        for (std::size_t r = 0; r < rows; ++r) {
            EXPECT_EQ(t.n_pe[r], t.n_pe_any[r]);
            true_charge += t.true_charge[r];
            counted += t.n_pe[r];
        }
        EXPECT_EQ(counted, times.size());
        EXPECT_NEAR(true_charge, charge, 1e-12 * charge);
    };
    const ExactMultiPMT multi({{0, 0}, {5e-10, 1}, {1e-9, 0.8}, {1.5e-9, 1}, {2e-9, 0}});
    ChannelEngine<MultiPMT> tot({multi.model()}, 0);
    const auto m = tot.simulate_independent(block.pieces, block.times, cancel, nullptr, extras);
    ASSERT_EQ(m.rows(), 20U);
    check(m.truth, m.rows());
    // Ten PEs in each flash of the ZozuvUza case, to pass its threshold.
    std::vector<double> flashes;
    for (const double t : times) {
        flashes.insert(flashes.end(), 10, t);
    }
    times = flashes;
    Block zblock;
    zblock.add(0, times);
    const ExactZozuvUza zozuvuza(lobes({{40, 0.0}, {100, 1.0}}));
    ChannelEngine<ZozuvUza> adc({zozuvuza.model()}, ExactZozuvUza::samples);
    const auto z = adc.simulate_independent(zblock.pieces, zblock.times, cancel, nullptr, extras);
    ASSERT_EQ(z.rows(), 20U);
    check(z.truth, z.rows());
}

TEST_F(EngineTruthTest, SaturationCountsTheClippedSamples) {
    // A low pre-amplifier clip cuts the flashes' peaks before the noise; the
    // output clip then cuts nothing, and samples at the pre-amplifier clip
    // spread by the noise around it.
    Settings s;
    s.preamp_clip = 150.0;
    s.clip = 4095.0;
    ChannelEngine<ZozuvUza> engine({zozuvuza(s)}, kSamples);
    Block block;
    block.add(0, pes(0), 4);
    const auto cols = engine.simulate_independent(block.pieces, block.times, cancel_);
    ASSERT_EQ(cols.n_saturated.size(), cols.rows());
    std::size_t saturated = 0;
    for (std::size_t r = 0; r < cols.rows(); ++r) {
        int high = 0;
        for (int j = 0; j < kSamples; ++j) {
            high += cols.waveform[r * kSamples + static_cast<std::size_t>(j)] >= 150 - 8;
        }
        // Every cut sample lies near the clip (noise 1.5 LSB); most samples near it were cut.
        EXPECT_LE(cols.n_saturated[r], high) << "record " << r;
        saturated += cols.n_saturated[r];
    }
    EXPECT_GE(saturated, 5U);

    // The output clip at the top of the range: each cut sample reads the clip.
    s.preamp_clip = 4000.0;
    s.clip = 150.0;
    ChannelEngine<ZozuvUza> clipped({zozuvuza(s)}, kSamples);
    const auto c = clipped.simulate_independent(block.pieces, block.times, cancel_);
    std::size_t cut = 0;
    std::size_t at_clip_total = 0;
    for (std::size_t r = 0; r < c.rows(); ++r) {
        int at_clip = 0;
        for (int j = 0; j < kSamples; ++j) {
            at_clip += c.waveform[r * kSamples + static_cast<std::size_t>(j)] == 150;
        }
        // A sample just below the clip may round to it uncut.
        EXPECT_LE(c.n_saturated[r], at_clip) << "record " << r;
        cut += c.n_saturated[r];
        at_clip_total += static_cast<std::size_t>(at_clip);
    }
    EXPECT_GE(cut, 5U);
    EXPECT_GE(cut * 10, at_clip_total * 9);

    // MultiPMT: the one sample's flag.
    ChannelEngine<MultiPMT> multi({multipmt(400.0, 300.0)}, 0);
    const auto m = multi.simulate_independent(block.pieces, block.times, cancel_);
    ASSERT_EQ(m.adc_saturated.size(), m.rows());
    std::size_t flagged = 0;
    std::size_t at_300 = 0;
    for (std::size_t r = 0; r < m.rows(); ++r) {
        if (m.adc_saturated[r] != 0) {
            // Cut at 300 before the noise of 1.5 LSB, or after it.
            EXPECT_GE(m.adc_sample[r], 300 - 8) << "record " << r;
        }
        flagged += m.adc_saturated[r];
        at_300 += m.adc_sample[r] == 300;
        EXPECT_LE(m.adc_sample[r], 300);
    }
    EXPECT_GT(flagged, 0U);
    EXPECT_GE(flagged * 10, at_300 * 9);
}

} // namespace
} // namespace velmora
