// Both detector models against the plain composition of their stages, bit for
// bit, over random configurations: the records, the exception if any, and the
// generator state after the call. A failure names its seed.

#include "ADCSim.h"
#include "MultiPMT.h"
#include "PMTResponse.h"
#include "TestFiles.h"
#include "ToTSim.h"
#include "TriggerSim.h"
#include "ZozuvUza.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <sstream>

namespace velmora {
namespace {

using testing::points_text;
using testing::TempFile;

template <typename T>
bool same_bits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// A pulse of random length and shape on the given step, starting anywhere.
std::string random_pulse(std::mt19937& setup, double step) {
    const int taps = std::uniform_int_distribution<int>(2, 400)(setup);
    const double rise = std::uniform_real_distribution<double>(1.0, 30.0)(setup);
    const double decay = std::uniform_real_distribution<double>(5.0, 120.0)(setup);
    const double t0 = std::uniform_real_distribution<double>(-1e-8, 1e-8)(setup);
    std::vector<std::pair<double, double>> points;
    for (int i = 0; i < taps; ++i) {
        points.emplace_back(t0 + i * step, (1.0 - std::exp(-i / rise)) * std::exp(-i / decay) - 0.01);
    }
    return points_text(points);
}

// Bursts of PEs (sometimes right at time 0, so that windows start early),
// isolated PEs and negative times, in random order; sometimes none.
std::vector<double> random_pe_times(std::mt19937& setup) {
    std::vector<double> times;
    const int bursts = std::uniform_int_distribution<int>(0, 4)(setup);
    for (int b = 0; b < bursts; ++b) {
        const double at = std::uniform_int_distribution<int>(0, 3)(setup) == 0
                              ? 0.0
                              : std::uniform_real_distribution<double>(-1e-5, 1e-3)(setup);
        const int n = std::uniform_int_distribution<int>(1, 60)(setup);
        for (int i = 0; i < n; ++i) {
            times.push_back(at + std::uniform_real_distribution<double>(0.0, 5e-9)(setup));
        }
    }
    const int isolated = std::uniform_int_distribution<int>(0, 50)(setup);
    for (int i = 0; i < isolated; ++i) {
        times.push_back(std::uniform_real_distribution<double>(-1e-4, 1e-2)(setup));
    }
    std::shuffle(times.begin(), times.end(), setup);
    return times;
}

struct Spectra {
    TempFile time{points_text({{0.0, 1.0}, {2e-9, 2.0}, {6e-9, 0.0}})};
    TempFile amplitude{points_text({{0.1, 0.0}, {1.0, 1.0}, {2.5, 0.0}})};
};

using ZRecord = ostrelin::ZozuvUzaTrigger;

// The stage-by-stage composition with the record rules written out plainly.
std::vector<ZRecord> zozuvuza_reference(const Spectra& files, double pmt_step, const ADCSim& adc,
                                        const TriggerSim& trigger, int trigger_offset, int waveform_samples,
                                        double offset, ZozuvUza::EarlyHandling policy, const std::vector<double>& times,
                                        int channel, std::mt19937& rng) {
    auto time_dist = load_distribution(files.time.path());
    auto amp_dist = load_distribution(files.amplitude.path());
    const auto pmt = pe_to_waveform(times, time_dist, amp_dist, pmt_step, rng);
    const auto samples = adc.simulate_plain(pmt, rng);
    std::vector<ZRecord> records;
    for (const double t : trigger.simulate_plain(samples)) {
        const double start = t + trigger_offset * samples.time_step();
        auto window =
            samples.samples_from(time_to_index(start, samples.time_step()), static_cast<std::size_t>(waveform_samples));
        if (offset > 0 && !window.empty() && window.back() == 0) {
            for (std::size_t i = window.size(); i-- > 0 && window[i] == 0;) {
                window[i] = static_cast<unsigned short>(std::trunc(offset));
            }
        }
        ZRecord r{channel, 0, 0, static_cast<float>(offset), 0.0F, {}};
        if (start < 0) {
            if (policy == ZozuvUza::EarlyHandling::THROW) {
                throw std::runtime_error("Early trigger at " + std::to_string(start) + "s.");
            }
            if (policy != ZozuvUza::EarlyHandling::ZERO) {
                continue;
            }
        } else {
            r.trigger_time_s = static_cast<unsigned>(start);
            r.trigger_time_ticks = static_cast<unsigned>((start - r.trigger_time_s) / 4e-9);
        }
        for (const auto x : window) {
            r.intsum = r.intsum + (static_cast<float>(x) - static_cast<float>(offset));
        }
        r.waveform = std::move(window);
        records.push_back(std::move(r));
    }
    return records;
}

class ZozuvUzaFastPath : public ::testing::TestWithParam<unsigned> {};

TEST_P(ZozuvUzaFastPath, EqualsThePlainComposition) {
    const unsigned seed = GetParam();
    std::mt19937 setup(seed);
    const Spectra files;
    const double pmt_step = std::uniform_real_distribution<double>(0.05e-9, 0.4e-9)(setup);
    const TempFile pulse(random_pulse(setup, pmt_step));
    const double adc_step = std::uniform_int_distribution<int>(0, 1)(setup) == 0
                                ? 4e-9
                                : pmt_step * std::uniform_real_distribution<double>(1.0, 50.0)(setup);
    const int jitter = std::uniform_int_distribution<int>(-1, 3)(setup);
    const double offset = std::uniform_int_distribution<int>(0, 2)(setup) * 10.3;
    const double noise = std::uniform_int_distribution<int>(0, 1)(setup) * 2.0;
    const int waveform_samples = std::uniform_int_distribution<int>(0, 48)(setup);
    const int retrigger = std::uniform_int_distribution<int>(0, 60)(setup);
    std::vector<int> kernel(static_cast<std::size_t>(std::uniform_int_distribution<int>(1, 6)(setup)));
    for (auto& k : kernel) {
        k = std::uniform_int_distribution<int>(-1, 3)(setup);
    }
    const int threshold = std::uniform_int_distribution<int>(0, 200)(setup);
    const int norm = std::uniform_int_distribution<int>(1, 4)(setup);
    const int trigger_offset = std::uniform_int_distribution<int>(-12, 4)(setup);
    const auto policy = static_cast<ZozuvUza::EarlyHandling>(
        std::uniform_int_distribution<int>(0, 3)(setup) == 2 ? 1 : std::uniform_int_distribution<int>(0, 3)(setup));
    const int model_seed = static_cast<int>(setup());
    const auto times = random_pe_times(setup);

    ZozuvUza model(files.time.path(), files.amplitude.path(), pmt_step, adc_step, pulse.path(), jitter, 40.0, offset,
                   3000.0, noise, 4095.0, waveform_samples, retrigger, kernel, threshold, norm, trigger_offset,
                   model_seed, policy == ZozuvUza::EarlyHandling::WARN ? ZozuvUza::EarlyHandling::IGNORE : policy);
    const ADCSim adc(adc_step, load_pulse_shape(pulse.path(), pmt_step, "adc"), jitter, 40.0, offset, 3000.0, noise,
                     4095.0);
    const TriggerSim trigger(adc_step, waveform_samples, retrigger, kernel, threshold, norm);

    std::ostringstream config;
    config << "seed " << seed << ": pmt step " << pmt_step << ", adc step " << adc_step << ", jitter " << jitter << ", "
           << times.size() << " PEs, policy " << static_cast<int>(policy);
    // Calls in a row: each starts from where the previous one left the
    // generator, so a draw too many or too few shows in the next call.
    std::mt19937 rng(static_cast<std::mt19937::result_type>(model_seed));
    for (int call = 0; call < 3; ++call) {
        std::optional<std::vector<ZRecord>> expected;
        std::string expected_error;
        try {
            expected = zozuvuza_reference(
                files, pmt_step, adc, trigger, trigger_offset, waveform_samples, offset,
                policy == ZozuvUza::EarlyHandling::WARN ? ZozuvUza::EarlyHandling::IGNORE : policy, times, call, rng);
        } catch (const std::exception& e) {
            expected_error = e.what();
        }
        try {
            const auto got = model.simulate(times, call);
            ASSERT_TRUE(expected.has_value()) << config.str() << ": expected " << expected_error;
            ASSERT_EQ(got.size(), expected->size()) << config.str();
            for (std::size_t i = 0; i < got.size(); ++i) {
                const auto& g = got[i];
                const auto& x = (*expected)[i];
                ASSERT_TRUE(g.channel == x.channel && g.trigger_time_s == x.trigger_time_s &&
                            g.trigger_time_ticks == x.trigger_time_ticks && same_bits(g.baseline, x.baseline) &&
                            same_bits(g.intsum, x.intsum) && g.waveform == x.waveform)
                    << config.str() << ", record " << i;
            }
        } catch (const std::exception& e) {
            ASSERT_FALSE(expected.has_value()) << config.str() << ": unexpected " << e.what();
            ASSERT_EQ(expected_error, e.what()) << config.str();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RandomConfigurations, ZozuvUzaFastPath, ::testing::Range(1u, 121u));

using MRecord = ostrelin::MultiPMTTrigger;

class MultiPMTFastPath : public ::testing::TestWithParam<unsigned> {};

TEST_P(MultiPMTFastPath, EqualsThePlainComposition) {
    const unsigned seed = GetParam();
    std::mt19937 setup(seed);
    const Spectra files;
    const double pmt_step = std::uniform_real_distribution<double>(0.05e-9, 0.4e-9)(setup);
    const double tot_step = pmt_step * (std::uniform_int_distribution<int>(0, 1)(setup) == 0
                                            ? std::uniform_int_distribution<int>(1, 6)(setup)
                                            : std::uniform_real_distribution<double>(1.0, 6.0)(setup));
    const TempFile adc_pulse(random_pulse(setup, pmt_step));
    const TempFile tot_pulse(random_pulse(setup, tot_step));
    const double adc_step = pmt_step * std::uniform_real_distribution<double>(1.0, 50.0)(setup);
    const int jitter = std::uniform_int_distribution<int>(-1, 3)(setup);
    const double threshold = std::uniform_real_distribution<double>(0.1, 3.0)(setup);
    const double dead_time = tot_step * std::uniform_int_distribution<int>(0, 30)(setup);
    const double tot_noise = std::uniform_int_distribution<int>(0, 1)(setup) * 0.05;
    const double tot_jitter = std::uniform_int_distribution<int>(0, 1)(setup) * 0.2 * tot_step;
    const double delay = std::uniform_real_distribution<double>(-5e-9, 30e-9)(setup);
    const int model_seed = static_cast<int>(setup());
    const auto times = random_pe_times(setup);

    MultiPMT model(files.time.path(), files.amplitude.path(), pmt_step, tot_step, tot_pulse.path(), threshold,
                   dead_time, tot_noise, tot_jitter, adc_step, adc_pulse.path(), jitter, 30.0, 8.5, 1.5, 4095.0, delay,
                   model_seed);
    const ToTSim tot(tot_step, load_pulse_shape(tot_pulse.path(), tot_step, "tot"), threshold, dead_time, tot_noise,
                     tot_jitter);
    const ADCSim adc(adc_step, load_pulse_shape(adc_pulse.path(), pmt_step, "adc"), jitter, 30.0, 8.5, 4095.0, 1.5,
                     4095.0);
    std::ostringstream config;
    config << "seed " << seed << ": pmt step " << pmt_step << ", tot step " << tot_step << ", adc step " << adc_step
           << ", " << times.size() << " PEs";

    std::mt19937 rng(static_cast<std::mt19937::result_type>(model_seed));
    for (int call = 0; call < 3; ++call) {
        auto time_dist = load_distribution(files.time.path());
        auto amp_dist = load_distribution(files.amplitude.path());
        const auto pmt = pe_to_waveform(times, time_dist, amp_dist, pmt_step, rng);
        const auto hits = tot.simulate_plain(pmt, rng);
        const auto samples = adc.simulate_plain(pmt, rng);
        const auto got = model.simulate(times, call);
        ASSERT_EQ(got.size(), hits.size()) << config.str();
        for (std::size_t i = 0; i < got.size(); ++i) {
            const auto [s, e] = hits[i];
            const MRecord x{s, call, e - s, samples.get_sample(delay + s)};
            ASSERT_TRUE(same_bits(got[i].time, x.time) && got[i].channel == x.channel &&
                        same_bits(got[i].time_over_threshold, x.time_over_threshold) &&
                        got[i].adc_sample == x.adc_sample)
                << config.str() << ", call " << call << ", record " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RandomConfigurations, MultiPMTFastPath, ::testing::Range(1u, 121u));

// Long trains, far beyond the block, history and pruning sizes of the
// streaming chain (thousands of ADC entries per block, tens of thousands in
// all, windows reaching back before their trigger): both models against the
// plain composition, bit for bit, over two calls in a row.
struct LongTrain {
    const char* name;
    int bursts;    // bursts of PEs, `spacing` apart
    int per_burst; // PEs per burst, spread over `width`
    double spacing, width;
    int trigger_offset; // ZozuvUza window start relative to its trigger, ADC steps
    int waveform_samples, retrigger_offset;
};

std::vector<double> long_train(const LongTrain& c, std::mt19937& setup) {
    std::vector<double> times;
    std::uniform_real_distribution<double> within(0.0, c.width);
    for (int b = 0; b < c.bursts; ++b) {
        for (int i = 0; i < c.per_burst; ++i) {
            times.push_back(b * c.spacing + within(setup));
        }
    }
    std::shuffle(times.begin(), times.end(), setup);
    return times;
}

class LongTrains : public ::testing::TestWithParam<LongTrain> {};

TEST_P(LongTrains, ZozuvUzaEqualsThePlainComposition) {
    const LongTrain& c = GetParam();
    std::mt19937 setup(17);
    const Spectra files;
    const double pmt_step = 0.1e-9, adc_step = 4e-9;
    const TempFile pulse(random_pulse(setup, pmt_step));
    const auto times = long_train(c, setup);
    ASSERT_GE(times.size(), 50000u);
    const std::vector<int> kernel{1, 2, 1};
    ZozuvUza model(files.time.path(), files.amplitude.path(), pmt_step, adc_step, pulse.path(), -1, 40.0, 10.3, 3000.0,
                   2.0, 4095.0, c.waveform_samples, c.retrigger_offset, kernel, 30, 4, c.trigger_offset, 99,
                   ZozuvUza::EarlyHandling::ZERO);
    const ADCSim adc(adc_step, load_pulse_shape(pulse.path(), pmt_step, "adc"), -1, 40.0, 10.3, 3000.0, 2.0, 4095.0);
    const TriggerSim trigger(adc_step, c.waveform_samples, c.retrigger_offset, kernel, 30, 4);
    std::mt19937 rng(99);
    for (int call = 0; call < 2; ++call) {
        const auto expected = zozuvuza_reference(files, pmt_step, adc, trigger, c.trigger_offset, c.waveform_samples,
                                                 10.3, ZozuvUza::EarlyHandling::ZERO, times, call, rng);
        const auto got = model.simulate(times, call);
        ASSERT_GT(expected.size(), 200u) << c.name;
        ASSERT_EQ(got.size(), expected.size()) << c.name;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const auto& g = got[i];
            const auto& x = expected[i];
            ASSERT_TRUE(g.trigger_time_s == x.trigger_time_s && g.trigger_time_ticks == x.trigger_time_ticks &&
                        same_bits(g.intsum, x.intsum) && g.waveform == x.waveform)
                << c.name << ", call " << call << ", record " << i;
        }
    }
}

TEST_P(LongTrains, MultiPMTEqualsThePlainComposition) {
    const LongTrain& c = GetParam();
    std::mt19937 setup(23);
    const Spectra files;
    const double pmt_step = 0.1e-9, tot_step = 0.5e-9, adc_step = 4e-9;
    const TempFile adc_pulse(random_pulse(setup, pmt_step));
    const TempFile tot_pulse(random_pulse(setup, tot_step));
    const auto times = long_train(c, setup);
    MultiPMT model(files.time.path(), files.amplitude.path(), pmt_step, tot_step, tot_pulse.path(), 0.8, 5e-9, 0.05,
                   0.1e-9, adc_step, adc_pulse.path(), -1, 30.0, 8.5, 1.5, 4095.0, 14e-9, 7);
    const ToTSim tot(tot_step, load_pulse_shape(tot_pulse.path(), tot_step, "tot"), 0.8, 5e-9, 0.05, 0.1e-9);
    const ADCSim adc(adc_step, load_pulse_shape(adc_pulse.path(), pmt_step, "adc"), -1, 30.0, 8.5, 4095.0, 1.5, 4095.0);
    std::mt19937 rng(7);
    for (int call = 0; call < 2; ++call) {
        auto time_dist = load_distribution(files.time.path());
        auto amp_dist = load_distribution(files.amplitude.path());
        const auto pmt = pe_to_waveform(times, time_dist, amp_dist, pmt_step, rng);
        const auto hits = tot.simulate_plain(pmt, rng);
        const auto samples = adc.simulate_plain(pmt, rng);
        const auto got = model.simulate(times, call);
        ASSERT_GT(hits.size(), 200u) << c.name;
        ASSERT_EQ(got.size(), hits.size()) << c.name;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const auto [s, e] = hits[i];
            ASSERT_TRUE(same_bits(got[i].time, s) && same_bits(got[i].time_over_threshold, e - s) &&
                        got[i].adc_sample == samples.get_sample(14e-9 + s))
                << c.name << ", call " << call << ", record " << i;
        }
    }
}

// Sparse windows in a dense train leave stretches with no window open, where
// pruning alone decides what the next window can still read.
INSTANTIATE_TEST_SUITE_P(
    Trains, LongTrains,
    ::testing::Values(LongTrain{"dense 180 us", 1, 60000, 0.0, 180e-6, -12, 48, 24},
                      LongTrain{"sparse windows in a dense train", 1, 60000, 0.0, 180e-6, -40, 16, 200},
                      LongTrain{"bursts every 2 us", 250, 200, 2e-6, 50e-9, -40, 48, 24},
                      LongTrain{"long bursts every 3 us", 100, 500, 3e-6, 1e-6, -3, 48, 24}),
    [](const auto& info) { return std::string(info.param.name).substr(0, 4) + std::to_string(info.index); });

} // namespace
} // namespace velmora
