// Native benchmark of the detector models' simulate, each case measured three ways:
//   (1) the model's simulate (for a PE list, one call per entry in order, records concatenated);
//   (2) the plain composition of the stages' own operations for the same work: pe_to_waveform, then the
//       full convolution on the PMT grid, sample_down and digitise (ADCSim::simulate_plain), then the
//       trigger and the record step (ZozuvUza), or ToTSim::simulate_plain, ADCSim::simulate_plain and one
//       get_sample per hit (MultiPMT);
//   (3) the draw floor: exactly the random draws that (1) makes, in number and kind, from a std::mt19937
//       through the same standard distributions, and nothing else.
// Before a case is timed, (2) must give exactly the records of (1) for the same seed, and go on to give
// the same records for a further call (same generator state); otherwise the run stops with a message.
// After the runs one table gives per case the PEs/s of (1), the ratios (1)/(3) and (2)/(1), and the peak
// resident memory that one call of (1) adds.

#include "ADCSim.h"
#include "MultiPMT.h"
#include "PMTResponse.h"
#include "SparseWaveform.h"
#include "ToTSim.h"
#include "TriggerSim.h"
#include "ZozuvUza.h"
#include "flat_json.h"
#include "records/Triggers.h"

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace velmora::bench {

namespace fs = std::filesystem;

constexpr double min_seconds = 0.5; // per benchmark; a call longer than that runs once
constexpr unsigned pe_time_seed = 12345;

template <typename T>
bool same_bits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

[[noreturn]] void fail(const std::string& message) {
    std::cout.flush();
    std::cerr << "velmora_bench: " << message << std::endl;
    std::exit(EXIT_FAILURE);
}

std::string format(const char* spec, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, spec, value);
    return buffer;
}

// ---------------------------------------------------------------- memory

long status_kib(const char* key) {
    std::ifstream in("/proc/self/status");
    const std::string prefix = std::string(key) + ":";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0) {
            return std::stol(line.substr(prefix.size()));
        }
    }
    return -1;
}

// Resets the kernel's resident high-water mark (VmHWM) to the current resident size.
bool reset_peak_rss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

// Resident memory that `call` adds at its peak, in MiB; nullopt where the mark cannot be reset. Freed
// heap is handed back first, so that the call cannot hide its peak in memory left over from earlier work.
template <typename F>
std::optional<double> peak_mib(F&& call) {
    malloc_trim(0);
    const bool reset = reset_peak_rss();
    const long before = status_kib("VmRSS");
    call();
    const long peak = status_kib("VmHWM");
    if (!reset || before < 0 || peak < 0) {
        return std::nullopt;
    }
    return static_cast<double>(std::max(0L, peak - before)) / 1024.0;
}

double available_gib() {
    std::ifstream in("/proc/meminfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("MemAvailable:", 0) == 0) {
            return std::stod(line.substr(13)) / (1024.0 * 1024.0);
        }
    }
    return 0.0;
}

// Resident entries while a vector grows to n entries by appending: the last reallocation holds the old
// buffer of the largest power of two below n and its moved copy at once.
double growth_peak_entries(std::size_t n) {
    return n < 2 ? static_cast<double>(n)
                 : std::max(static_cast<double>(n), 2.0 * static_cast<double>(std::bit_floor(n - 1)));
}

// Number of entries of the full convolution of `w` with `taps` taps landing `spacing` grid steps apart:
// at most taps per entry, and at most the indices that the tap ranges cover.
std::size_t convolution_entries(const SparseWaveform<double>& w, std::size_t taps, std::int64_t spacing) {
    if (taps == 0) {
        return 0;
    }
    const std::int64_t reach = static_cast<std::int64_t>(taps - 1) * spacing;
    std::size_t covered = 0;
    std::int64_t end = std::numeric_limits<std::int64_t>::min(); // one past the last covered index
    for (const auto& [a, v] : w.samples()) {
        // Entries come in increasing index order, so each range ends after the previous one.
        covered += static_cast<std::size_t>(a + reach + 1 - std::max(a, end));
        end = a + reach + 1;
    }
    return std::min(covered, w.size() * taps);
}

// ---------------------------------------------------------------- workloads

struct Call {
    int channel;
    std::vector<double> pe_times;
};

struct Workload {
    std::string key;
    std::string description;
    std::vector<Call> calls;  // simulate calls, in order
    bool calibration = false; // the calls are those of calibrate_delay(1, calls.size())
    std::size_t num_pes = 0;
};

Workload random_times(std::string key, std::string description, std::size_t num_pes, double span) {
    std::mt19937_64 gen(pe_time_seed);
    std::uniform_real_distribution<double> uniform(0.0, span);
    std::vector<double> times(num_pes);
    for (double& t : times) {
        t = uniform(gen);
    }
    return {std::move(key), std::move(description), {{0, std::move(times)}}, false, num_pes};
}

// The PE list of generate_pe_list(num_channels, pes_per_channel, interval): channel i holds the times
// j * interval, j < pes_per_channel.
Workload pe_list(std::string key, std::string description, int num_channels, int pes_per_channel, double interval) {
    Workload w{std::move(key), std::move(description), {}, false, 0};
    for (int i = 0; i < num_channels; ++i) {
        std::vector<double> times(static_cast<std::size_t>(pes_per_channel));
        for (std::size_t j = 0; j < times.size(); ++j) {
            times[j] = static_cast<double>(j) * interval;
        }
        w.num_pes += times.size();
        w.calls.push_back({i, std::move(times)});
    }
    return w;
}

// One call of num_flashes bursts of pes_per_flash PEs at the same time, interval apart: bright enough to
// trigger either detector.
Workload flashes(int num_flashes, int pes_per_flash, double interval) {
    std::vector<double> times;
    for (int i = 0; i < num_flashes; ++i) {
        times.insert(times.end(), static_cast<std::size_t>(pes_per_flash), (i + 1) * interval);
    }
    const std::size_t n = times.size();
    return {"flashes", "", {{7, std::move(times)}}, false, n};
}

Workload calibration(std::size_t num_sim) {
    Workload w{"cal", "calibrate_delay(1, " + std::to_string(num_sim) + ")", {}, true, num_sim};
    w.calls.assign(num_sim, Call{0, {0.0}});
    return w;
}

std::vector<Workload> workloads() {
    std::vector<Workload> out;
    out.push_back(random_times("a", "1e5 PEs over 10 s", 100'000, 10.0));
    out.push_back(random_times("b", "1e6 PEs over 1 s", 1'000'000, 1.0));
    out.push_back(random_times("c", "1e5 PEs within 10 us", 100'000, 10e-6));
    out.push_back(pe_list("d", "PE list 1000 x 100, 1 us apart", 1000, 100, 1e-6));
    out.push_back(calibration(10'000));
    return out;
}

// Draws of one simulate call, taken from the plain composition's intermediate results.
struct Draws {
    std::size_t pes = 0;
    std::size_t tot_entries = 0; // stored entries of the ToT-shaped waveform (MultiPMT)
    std::size_t hits = 0;        // ToT hits (MultiPMT)
    std::size_t adc_entries = 0; // entries of the ADC waveform
};

// Which ADC operation the composition uses. The optimised one serves only to count draws where the full
// convolution does not fit in memory.
enum class AdcPath { plain, optimised };

// ---------------------------------------------------------------- shared by both detectors

// The configuration keys of an ADC stage.
struct AdcKeys {
    const char* pulse_shape;
    const char* jitter;
    const char* gain;
    const char* offset;
    const char* preamp_clip;
    const char* noise;
    const char* clip;
};

// What both detectors build alike from their configuration: the spectrum distributions (and copies of
// them for the draw floor), the PMT grid and the ADC stage; with the PE step and the ADC draws of the floor.
class DetectorBench {
  public:
    int seed() const { return config_.integer("seed"); }

    SparseWaveform<double> pmt_waveform(const std::vector<double>& pe_times, std::mt19937& rng) {
        return pe_to_waveform(pe_times, time_distribution_, amplitude_distribution_, pmt_time_step_, rng);
    }

  protected:
    DetectorBench(const fs::path& dir, const AdcKeys& keys)
        : dir_(dir), config_(FlatJson::read(dir / "config.json")),
          time_distribution_(load_distribution(file("time_spectrum"))),
          amplitude_distribution_(load_distribution(file("amplitude_spectrum"))),
          pmt_time_step_(config_.number("pmt_time_step")),
          adc_(config_.number("adc_step"),
               load_pulse_shape(file(keys.pulse_shape), pmt_time_step_,
                                "Pulse shape time step does not match PMT step."),
               config_.integer(keys.jitter), config_.number(keys.gain), config_.number(keys.offset),
               config_.number(keys.preamp_clip), config_.number(keys.noise), config_.number(keys.clip)),
          floor_time_distribution_(time_distribution_), floor_amplitude_distribution_(amplitude_distribution_),
          ratio_(time_to_index(adc_.adc_step(), pmt_time_step_)) {}

    fs::path file(const std::string& key) const { return dir_ / config_.string(key); }

    // Entries of the full shaped waveform of the ADC stage.
    std::size_t adc_shaped_entries(const SparseWaveform<double>& pmt) const {
        return convolution_entries(pmt, adc_.pulse_shape().kernel().size(), 1);
    }

    void floor_pes(const Draws& d, std::mt19937& rng, double& sink) {
        for (std::size_t i = 0; i < d.pes; ++i) {
            sink += floor_time_distribution_(rng);
            sink += floor_amplitude_distribution_(rng);
        }
    }

    void floor_adc(const Draws& d, std::mt19937& rng, double& sink) const {
        if (adc_.jitter() < 0) {
            std::uniform_int_distribution<int> phase(0, static_cast<int>(ratio_ - 1));
            sink += phase(rng);
        }
        std::normal_distribution<double> noise(0.0, 1.0);
        for (std::size_t i = 0; i < d.adc_entries; ++i) {
            sink += noise(rng);
        }
    }

    fs::path dir_;
    FlatJson config_;
    std::piecewise_linear_distribution<double> time_distribution_;
    std::piecewise_linear_distribution<double> amplitude_distribution_;
    double pmt_time_step_;
    ADCSim adc_;

  private:
    std::piecewise_linear_distribution<double> floor_time_distribution_;
    std::piecewise_linear_distribution<double> floor_amplitude_distribution_;
    std::int64_t ratio_; // PMT grid steps per ADC step: the range of the random sampling phase
};

// ---------------------------------------------------------------- ZozuvUza

class ZozuvUzaBench : public DetectorBench {
  public:
    using Model = ZozuvUza;
    using Record = ostrelin::ZozuvUzaTrigger;

    explicit ZozuvUzaBench(const fs::path& dir)
        : DetectorBench(dir, {"pulse_shape", "jitter", "gain", "offset", "preamp_clip", "noise", "clip"}),
          trigger_(config_.number("adc_step"), config_.integer("waveform_samples"), config_.integer("retrigger_offset"),
                   config_.int_array("trigger_kernel"), config_.integer("adc_threshold"),
                   config_.integer("trigger_norm")),
          waveform_samples_(config_.integer("waveform_samples")), trigger_offset_(config_.integer("trigger_offset")),
          offset_(config_.number("offset")), early_handling_(policy(config_.string("early_handling"))) {}

    static const char* name() { return "ZozuvUza"; }

    Model make_model() const {
        return Model(file("time_spectrum"), file("amplitude_spectrum"), pmt_time_step_, config_.number("adc_step"),
                     file("pulse_shape"), config_.integer("jitter"), config_.number("gain"), config_.number("offset"),
                     config_.number("preamp_clip"), config_.number("noise"), config_.number("clip"),
                     config_.integer("waveform_samples"), config_.integer("retrigger_offset"),
                     config_.int_array("trigger_kernel"), config_.integer("adc_threshold"),
                     config_.integer("trigger_norm"), config_.integer("trigger_offset"), seed(), early_handling_);
    }

    std::vector<Record> plain(const std::vector<double>& pe_times, int channel, std::mt19937& rng, Draws* draws,
                              AdcPath path = AdcPath::plain) {
        const auto pmt = pmt_waveform(pe_times, rng);
        const auto adc = path == AdcPath::plain ? adc_.simulate_plain(pmt, rng) : adc_.simulate(pmt, rng);
        const auto trigger_times = trigger_.simulate(adc);
        if (draws != nullptr) {
            *draws = {pe_times.size(), 0, 0, adc.size()};
        }
        return records(adc, trigger_times, channel);
    }

    // Peak bytes of the plain composition of one call: the full shaped waveform on the PMT grid.
    double plain_peak_bytes(const SparseWaveform<double>& pmt) const {
        return growth_peak_entries(adc_shaped_entries(pmt)) * sizeof(SparseWaveform<double>::Sample);
    }

    void floor(const Draws& d, std::mt19937& rng, double& sink) {
        floor_pes(d, rng, sink);
        floor_adc(d, rng, sink);
    }

    // Each floor call draws exactly what the composition's call drew, in the same order.
    static constexpr bool floor_keeps_draw_order = true;

    static double delay(const Record& r) {
        return static_cast<double>(r.trigger_time_ticks) * ostrelin::ZozuvUzaTrigger::SECONDS_PER_TICK;
    }

    static bool same(const Record& a, const Record& b) {
        return a.channel == b.channel && a.trigger_time_s == b.trigger_time_s &&
               a.trigger_time_ticks == b.trigger_time_ticks && same_bits(a.baseline, b.baseline) &&
               same_bits(a.intsum, b.intsum) && a.waveform == b.waveform;
    }

  private:
    static ZozuvUza::EarlyHandling policy(const std::string& name) {
        static const std::map<std::string, ZozuvUza::EarlyHandling> names = {
            {"IGNORE", ZozuvUza::EarlyHandling::IGNORE},
            {"ZERO", ZozuvUza::EarlyHandling::ZERO},
            {"WARN", ZozuvUza::EarlyHandling::WARN},
            {"THROW", ZozuvUza::EarlyHandling::THROW}};
        const auto it = names.find(name);
        if (it == names.end()) {
            throw std::runtime_error("unknown early_handling '" + name + "'");
        }
        return it->second;
    }

    // One record per trigger window: the window's samples, the baseline fill of missing trailing samples,
    // the early-window policy, the time stamp in seconds and 4 ns ticks, and the integral.
    std::vector<Record> records(const SparseWaveform<unsigned short>& adc, const std::vector<double>& trigger_times,
                                int channel) const {
        const double step = adc.time_step();
        const float offset_f = static_cast<float>(offset_);
        const auto fill = static_cast<unsigned short>(std::min(std::trunc(offset_), 65535.0));
        std::vector<Record> out;
        for (const double t : trigger_times) {
            const double start = t + static_cast<double>(trigger_offset_) * step;
            const double end = start + static_cast<double>(waveform_samples_) * step;
            std::vector<unsigned short> samples = adc.get_samples(start, end);
            if (offset_ > 0.0 && !samples.empty() && samples.back() == 0) {
                for (std::size_t i = samples.size(); i-- > 0 && samples[i] == 0;) {
                    samples[i] = fill;
                }
            }
            unsigned int seconds = 0;
            unsigned int ticks = 0;
            if (start < 0.0) {
                if (early_handling_ == ZozuvUza::EarlyHandling::THROW) {
                    throw std::runtime_error("Early trigger at " + std::to_string(start) + "s.");
                }
                if (early_handling_ == ZozuvUza::EarlyHandling::WARN) {
                    std::ostringstream line;
                    line.imbue(std::locale::classic());
                    line << "[Warning] Ignoring early trigger at " << start << " s.";
                    std::cerr << line.str() << std::endl;
                }
                if (early_handling_ != ZozuvUza::EarlyHandling::ZERO) {
                    continue;
                }
            } else {
                if (!(start < 4294967296.0)) {
                    throw std::overflow_error("window start beyond the 32-bit seconds counter");
                }
                seconds = static_cast<unsigned int>(start);
                ticks = static_cast<unsigned int>((start - static_cast<double>(seconds)) /
                                                  ostrelin::ZozuvUzaTrigger::SECONDS_PER_TICK);
            }
            float intsum = 0.0F;
            for (const unsigned short sample : samples) {
                intsum = intsum + (static_cast<float>(sample) - offset_f);
            }
            out.push_back({channel, seconds, ticks, offset_f, intsum, std::move(samples)});
        }
        return out;
    }

    TriggerSim trigger_;
    int waveform_samples_;
    int trigger_offset_;
    double offset_;
    ZozuvUza::EarlyHandling early_handling_;
};

// ---------------------------------------------------------------- MultiPMT

class MultiPMTBench : public DetectorBench {
  public:
    using Model = MultiPMT;
    using Record = ostrelin::MultiPMTTrigger;

    // The ADC clips with the same bound before and after its noise.
    explicit MultiPMTBench(const fs::path& dir)
        : DetectorBench(
              dir, {"adc_pulse_shape", "adc_jitter", "adc_gain", "adc_offset", "adc_clip", "adc_noise", "adc_clip"}),
          tot_(config_.number("tot_step"),
               load_pulse_shape(file("tot_pulse_shape"), config_.number("tot_step"),
                                "ToT pulse shape time step does not match ToT step."),
               config_.number("tot_threshold"), config_.number("tot_dead_time"), config_.number("tot_noise"),
               config_.number("tot_jitter")),
          sample_delay_(config_.number("sample_delay")) {}

    static const char* name() { return "MultiPMT"; }

    Model make_model() const {
        return Model(file("time_spectrum"), file("amplitude_spectrum"), pmt_time_step_, config_.number("tot_step"),
                     file("tot_pulse_shape"), config_.number("tot_threshold"), config_.number("tot_dead_time"),
                     config_.number("tot_noise"), config_.number("tot_jitter"), config_.number("adc_step"),
                     file("adc_pulse_shape"), config_.integer("adc_jitter"), config_.number("adc_gain"),
                     config_.number("adc_offset"), config_.number("adc_noise"), config_.number("adc_clip"),
                     sample_delay_, seed());
    }

    std::vector<Record> plain(const std::vector<double>& pe_times, int channel, std::mt19937& rng, Draws* draws,
                              AdcPath path = AdcPath::plain) {
        const auto pmt = pmt_waveform(pe_times, rng);
        const auto hits = tot_.simulate_plain(pmt, rng);
        const auto adc = path == AdcPath::plain ? adc_.simulate_plain(pmt, rng) : adc_.simulate(pmt, rng);
        if (draws != nullptr) {
            // The ToT stage draws one noise value per entry of its shaped waveform, which it does not return.
            *draws = {pe_times.size(), tot_.pulse_shape().convolve(pmt).size(), hits.size(), adc.size()};
        }
        std::vector<Record> out;
        out.reserve(hits.size());
        for (const auto& [start, end] : hits) {
            out.push_back({start, channel, end - start, adc.get_sample(sample_delay_ + start)});
        }
        return out;
    }

    // Peak bytes of the plain composition of one call: the larger of the two full shaped waveforms, which
    // never live at the same time.
    double plain_peak_bytes(const SparseWaveform<double>& pmt) const {
        const auto spacing = std::max<std::int64_t>(time_to_index(tot_.pulse_shape().time_step(), pmt.time_step()), 1);
        const std::size_t tot = convolution_entries(pmt, tot_.pulse_shape().kernel().size(), spacing);
        return growth_peak_entries(std::max(tot, adc_shaped_entries(pmt))) * sizeof(SparseWaveform<double>::Sample);
    }

    void floor(const Draws& d, std::mt19937& rng, double& sink) {
        floor_pes(d, rng, sink);
        {
            // The ToT stage's two separate distributions, fresh per call.
            std::normal_distribution<double> noise(0.0, 1.0);
            std::normal_distribution<double> jitter(0.0, 1.0);
            for (std::size_t i = 0; i < d.tot_entries; ++i) {
                sink += noise(rng);
            }
            for (std::size_t i = 0; i < 2 * d.hits; ++i) {
                sink += jitter(rng);
            }
        }
        floor_adc(d, rng, sink);
    }

    // The ToT stage draws each hit's two jitter values right after the noise value of the entry that
    // closes it; the floor draws all noise values first. Same draws, generator consumed differently.
    static constexpr bool floor_keeps_draw_order = false;

    static double delay(const Record& r) { return r.time; }

    static bool same(const Record& a, const Record& b) {
        return same_bits(a.time, b.time) && a.channel == b.channel &&
               same_bits(a.time_over_threshold, b.time_over_threshold) && a.adc_sample == b.adc_sample;
    }

  private:
    ToTSim tot_;
    double sample_delay_;
};

// A MultiPMT detector equal to the one of the Python test fixtures, written to `dir`: 1 ns transit-time
// spread, a single-PE amplitude peak, a 40 ns ADC pulse and a 20 ns ToT pulse. Stands in while the
// examples have no MultiPMT detector.
void write_fallback_multipmt(const fs::path& dir) {
    fs::create_directories(dir);
    auto write_points = [&](const char* name, int n, double step, auto value) {
        std::ofstream out(dir / name);
        out.precision(17);
        for (int i = 0; i < n; ++i) {
            out << i * step << ' ' << value(i) << '\n';
        }
    };
    {
        std::ofstream(dir / "time.txt") << "0.0 1.0\n1e-09 1.0\n";
        std::ofstream(dir / "amplitude.txt") << "0.5 0.0\n1.0 1.0\n1.5 0.0\n";
    }
    write_points("pulse.txt", 400, 0.1e-9, [](int i) { return (1.0 - std::exp(-i / 10.0)) * std::exp(-i / 80.0); });
    write_points("tot_pulse.txt", 40, 0.5e-9,
                 [](int i) { return (1.0 - std::exp(-i / 4.0)) * std::exp(-i / 8.0) * 2.0; });
    std::ofstream(dir / "config.json")
        << R"({"time_spectrum": "time.txt", "amplitude_spectrum": "amplitude.txt", "pmt_time_step": 1e-10,
"tot_step": 5e-10, "tot_pulse_shape": "tot_pulse.txt", "tot_threshold": 0.3, "tot_dead_time": 5e-09,
"tot_noise": 0.02, "tot_jitter": 1e-10, "adc_step": 4e-09, "adc_pulse_shape": "pulse.txt", "adc_jitter": 0,
"adc_gain": 40.0, "adc_offset": 10.0, "adc_noise": 1.0, "adc_clip": 4095.0, "sample_delay": 8e-09, "seed": 1}
)";
}

// ---------------------------------------------------------------- one case

template <typename Record>
struct Outcome {
    std::vector<Record> records;
    double delay = 0.0;  // calibration only
    std::string failure; // calibration only: the message of a failed calibration
};

template <typename Detector>
bool same_outcome(const Outcome<typename Detector::Record>& a, const Outcome<typename Detector::Record>& b) {
    return a.failure == b.failure && same_bits(a.delay, b.delay) && a.records.size() == b.records.size() &&
           std::equal(a.records.begin(), a.records.end(), b.records.begin(), Detector::same);
}

// Where two outcomes part, for the message of a failed check.
template <typename Detector>
std::string difference(const Outcome<typename Detector::Record>& a, const Outcome<typename Detector::Record>& b) {
    if (a.failure != b.failure || !same_bits(a.delay, b.delay)) {
        return "delay " + format("%.17g", a.delay) + " \"" + a.failure + "\" against " + format("%.17g", b.delay) +
               " \"" + b.failure + "\"";
    }
    const auto [it, _] =
        std::mismatch(a.records.begin(), a.records.end(), b.records.begin(), b.records.end(), Detector::same);
    return std::to_string(a.records.size()) + " records against " + std::to_string(b.records.size()) +
           ", the first difference at record " + std::to_string(it - a.records.begin());
}

template <typename Record>
void append(std::vector<Record>& all, std::vector<Record>&& more) {
    if (all.empty()) {
        all = std::move(more);
    } else {
        all.insert(all.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
}

// (1): the model's own calls.
template <typename Detector>
Outcome<typename Detector::Record> run_model(typename Detector::Model& model, const Workload& w) {
    Outcome<typename Detector::Record> out;
    if (w.calibration) {
        try {
            out.delay = model.calibrate_delay(1, w.calls.size());
        } catch (const std::runtime_error& e) {
            out.failure = e.what();
        }
        return out;
    }
    for (const Call& call : w.calls) {
        append(out.records, model.simulate(call.pe_times, call.channel));
    }
    return out;
}

// (2): the stages one after another; for a calibration, its averaging over the runs with one record.
template <typename Detector>
Outcome<typename Detector::Record> run_plain(Detector& det, const Workload& w, std::mt19937& rng,
                                             std::vector<Draws>* draws, AdcPath path = AdcPath::plain) {
    Outcome<typename Detector::Record> out;
    if (draws != nullptr) {
        draws->assign(w.calls.size(), Draws{});
    }
    double sum = 0.0;
    std::size_t valid = 0;
    for (std::size_t i = 0; i < w.calls.size(); ++i) {
        auto records =
            det.plain(w.calls[i].pe_times, w.calls[i].channel, rng, draws != nullptr ? &(*draws)[i] : nullptr, path);
        if (!w.calibration) {
            append(out.records, std::move(records));
        } else if (records.size() == 1) {
            sum += Detector::delay(records.front());
            ++valid;
        }
    }
    if (w.calibration) {
        if (valid < w.calls.size() / 2) {
            out.failure = "Too many simulations did not produce a valid trigger. Calibration failed.";
        } else {
            out.delay = sum / static_cast<double>(valid);
        }
    }
    return out;
}

// (3): the draws alone.
template <typename Detector>
double run_floor(Detector& det, const std::vector<Draws>& draws, std::mt19937& rng) {
    double sink = 0.0;
    for (const Draws& d : draws) {
        det.floor(d, rng, sink);
    }
    return sink;
}

struct Row {
    std::string model;
    std::string key;
    std::string description;
    std::size_t pes = 0;
    std::string result; // records, or the delay of a calibration
    std::optional<double> peak_mib;
    std::string plain_note; // why (2) was not run, if it was not
};

// Everything about one (detector, workload) pair. Prepared on first use, so that --benchmark_filter
// also skips the preparation of the cases it leaves out.
template <typename Detector>
class Case {
  public:
    Case(std::shared_ptr<Detector> det, Workload w, double plain_limit_gib, Row& row)
        : det_(std::move(det)), w_(std::move(w)), plain_limit_gib_(plain_limit_gib), row_(row),
          model_(det_->make_model()), plain_rng_(seed()), floor_rng_(seed()) {}

    std::string label() const { return std::string(Detector::name()) + "/" + w_.key; }
    std::string name(const char* what) const { return label() + "/" + what; }

    void prepare() {
        if (prepared_) {
            return;
        }
        prepared_ = true;

        // One call of (1) from the seed: its peak memory, and the reference for (2).
        typename Detector::Model reference = det_->make_model();
        Outcome<typename Detector::Record> expected;
        row_.peak_mib = peak_mib([&] { expected = run_model<Detector>(reference, w_); });
        row_.result = !w_.calibration ? std::to_string(expected.records.size())
                                      : (expected.failure.empty() ? format("%.3f ns", expected.delay * 1e9) : "fails");

        const double need_gib = plain_peak_gib();
        if (need_gib > plain_limit_gib_) {
            row_.plain_note = format("needs ~%.1f GiB", need_gib) + format(" (limit %.1f GiB)", plain_limit_gib_);
            std::cout << "check " << name("plain") << ": skipped, the full convolution " << row_.plain_note
                      << "; draw counts from the optimised ADC stage" << std::endl;
            std::mt19937 rng(seed());
            run_plain(*det_, w_, rng, &draws_, AdcPath::optimised);
            return;
        }
        check_plain(reference, expected);
    }

    // (2) from the seed must give exactly the outcome of (1) and leave the generator in the same state,
    // which a further call on both shows; the draw floor must consume the generator as (2) did where it
    // keeps the order of the draws. Counts the draws of every call on the way.
    void check_plain(typename Detector::Model& reference, const Outcome<typename Detector::Record>& expected) {
        std::mt19937 rng(seed());
        const auto actual = run_plain(*det_, w_, rng, &draws_);
        if (!same_outcome<Detector>(expected, actual)) {
            fail("BUG: " + name("plain") + " differs from " + name("simulate") + ": " +
                 difference<Detector>(actual, expected));
        }
        const std::mt19937 after_workload = rng;

        const Workload probe = flashes(20, 20, 1e-6);
        const auto probe_expected = run_model<Detector>(reference, probe);
        const auto probe_actual = run_plain(*det_, probe, rng, nullptr);
        if (probe_expected.records.empty()) {
            fail("the probe call gives no record on " + label() + ", so it cannot compare generator states");
        }
        if (!same_outcome<Detector>(probe_expected, probe_actual)) {
            fail("BUG: after " + label() +
                 " the generator states differ: a further call of the plain composition "
                 "gives " +
                 difference<Detector>(probe_actual, probe_expected) + " of the model");
        }

        std::mt19937 floor_rng(seed());
        run_floor(*det_, draws_, floor_rng);
        if (Detector::floor_keeps_draw_order && !(floor_rng == after_workload)) {
            fail("BUG: the draw floor of " + label() + " does not make the draws of the composition");
        }
        std::cout << "check " << name("plain") << ": the same " << describe(expected) << " as " << name("simulate")
                  << ", and the same generator state after"
                  << (Detector::floor_keeps_draw_order ? "; the floor makes the same draws" : "") << std::endl;
    }

    std::string describe(const Outcome<typename Detector::Record>& out) const {
        if (!w_.calibration) {
            return std::to_string(out.records.size()) + " records";
        }
        return out.failure.empty() ? "delay " + format("%.6f ns", out.delay * 1e9) : "failure \"" + out.failure + "\"";
    }

    void bench_model(benchmark::State& state) {
        prepare();
        for (auto _ : state) {
            auto out = run_model<Detector>(model_, w_);
            benchmark::DoNotOptimize(out.records.data());
            benchmark::DoNotOptimize(out.delay);
        }
        set_counters(state);
    }

    void bench_plain(benchmark::State& state) {
        prepare();
        if (!row_.plain_note.empty()) {
            state.SkipWithError(("plain composition skipped: " + row_.plain_note).c_str());
        }
        for (auto _ : state) {
            auto out = run_plain(*det_, w_, plain_rng_, nullptr);
            benchmark::DoNotOptimize(out.records.data());
            benchmark::DoNotOptimize(out.delay);
        }
        set_counters(state);
    }

    void bench_floor(benchmark::State& state) {
        prepare();
        for (auto _ : state) {
            benchmark::DoNotOptimize(run_floor(*det_, draws_, floor_rng_));
        }
        set_counters(state);
    }

  private:
    int seed() const { return det_->seed(); }

    void set_counters(benchmark::State& state) const {
        state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(w_.num_pes));
    }

    // The largest peak of one call of the plain composition, estimated on PMT waveforms made with a
    // scratch generator: the drawn offsets and amplitudes barely change how many entries they have.
    double plain_peak_gib() const {
        std::mt19937 scratch(seed());
        double peak = 0.0;
        for (const Call& call : w_.calls) {
            peak = std::max(peak, det_->plain_peak_bytes(det_->pmt_waveform(call.pe_times, scratch)));
        }
        return peak / (1024.0 * 1024.0 * 1024.0);
    }

    std::shared_ptr<Detector> det_;
    Workload w_;
    double plain_limit_gib_;
    Row& row_;
    typename Detector::Model model_;
    std::mt19937 plain_rng_;
    std::mt19937 floor_rng_;
    std::vector<Draws> draws_;
    bool prepared_ = false;
};

// Collects the real time per iteration of every run while printing as usual.
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    explicit CollectingReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
                const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
                auto [it, inserted] = seconds_.emplace(run.run_name.function_name, seconds);
                if (!inserted) {
                    it->second = std::min(it->second, seconds);
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::optional<double> seconds(const std::string& name) const {
        const auto it = seconds_.find(name);
        return it == seconds_.end() ? std::nullopt : std::optional<double>(it->second);
    }

  private:
    std::map<std::string, double> seconds_;
};

void print_table(const std::vector<std::unique_ptr<Row>>& rows, const CollectingReporter& reporter) {
    std::printf("\n(1) simulate, (2) plain composition of the stages, (3) draw floor; real time per call\n");
    std::printf("%-44s %9s %10s %12s %8s %10s %13s\n", "case", "PEs", "records", "PEs/s (1)", "(1)/(3)", "(2)/(1)",
                "peak MiB (1)");
    for (const auto& row : rows) {
        const std::string prefix = row->model + "/" + row->key + "/";
        const auto model = reporter.seconds(prefix + "simulate");
        if (!model) {
            continue; // filtered out
        }
        const auto plain = reporter.seconds(prefix + "plain");
        const auto floor = reporter.seconds(prefix + "floor");
        const std::string label = row->model + " " + row->key + ": " + row->description;
        std::printf("%-44s %9zu %10s %12s %8s %10s %13s\n", label.c_str(), row->pes, row->result.c_str(),
                    format("%.0f", static_cast<double>(row->pes) / *model).c_str(),
                    floor ? format("%.2f", *model / *floor).c_str() : "-",
                    plain ? format("%.2f", *plain / *model).c_str() : (row->plain_note.empty() ? "-" : "skipped"),
                    row->peak_mib ? format("%.1f", *row->peak_mib).c_str() : "n/a");
    }
    for (const auto& row : rows) {
        if (!row->plain_note.empty() && reporter.seconds(row->model + "/" + row->key + "/simulate")) {
            std::printf("skipped: %s %s plain composition %s\n", row->model.c_str(), row->key.c_str(),
                        row->plain_note.c_str());
        }
    }
}

template <typename Detector>
void register_cases(std::shared_ptr<Detector> det, const std::vector<Workload>& all, double plain_limit_gib,
                    std::vector<std::unique_ptr<Row>>& rows, std::vector<std::shared_ptr<void>>& keep) {
    for (const Workload& w : all) {
        rows.push_back(std::make_unique<Row>(Row{Detector::name(), w.key, w.description, w.num_pes, {}, {}, {}}));
        auto c = std::make_shared<Case<Detector>>(det, w, plain_limit_gib, *rows.back());
        keep.push_back(c);
        const auto add = [&](const char* what, void (Case<Detector>::*member)(benchmark::State&)) {
            benchmark::RegisterBenchmark(c->name(what).c_str(), [c, member](benchmark::State& s) { (*c.*member)(s); })
                ->UseRealTime()
                ->MinTime(min_seconds)
                ->Unit(benchmark::kMillisecond);
        };
        add("simulate", &Case<Detector>::bench_model);
        add("plain", &Case<Detector>::bench_plain);
        add("floor", &Case<Detector>::bench_floor);
    }
}

int run(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return EXIT_FAILURE;
    }
    const fs::path examples = VELMORA_EXAMPLES_DIR;

    // The plain composition holds the full shaped waveform; it runs only where that fits comfortably.
    double plain_limit_gib = available_gib() / 2.0;
    if (const char* limit = std::getenv("VELMORA_BENCH_PLAIN_GIB")) {
        plain_limit_gib = std::stod(limit);
    }

    fs::path multipmt_dir = examples / "multipmt";
    fs::path fallback_dir;
    if (!fs::exists(multipmt_dir / "config.json")) {
        fallback_dir = fs::temp_directory_path() / ("velmora_bench_multipmt_" + std::to_string(getpid()));
        write_fallback_multipmt(fallback_dir);
        multipmt_dir = fallback_dir;
    }

    std::vector<std::unique_ptr<Row>> rows;
    std::vector<std::shared_ptr<void>> keep;
    const auto all = workloads();
    register_cases(std::make_shared<ZozuvUzaBench>(examples / "zozuvuza"), all, plain_limit_gib, rows, keep);
    register_cases(std::make_shared<MultiPMTBench>(multipmt_dir), all, plain_limit_gib, rows, keep);

    std::cout << "ZozuvUza detector: " << (examples / "zozuvuza").string() << "\nMultiPMT detector: "
              << (fallback_dir.empty() ? multipmt_dir.string()
                                       : "no example detector; the Python test fixtures' configuration")
              << "\nplain composition memory limit: " << format("%.1f", plain_limit_gib) << " GiB" << std::endl;

    CollectingReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                      : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_table(rows, reporter);
    benchmark::Shutdown();
    if (!fallback_dir.empty()) {
        fs::remove_all(fallback_dir);
    }
    return EXIT_SUCCESS;
}

} // namespace velmora::bench

int main(int argc, char** argv) {
    try {
        return velmora::bench::run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "velmora_bench: " << e.what() << std::endl;
        return EXIT_FAILURE;
    }
}
