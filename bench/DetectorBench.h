#pragma once

// What both detector benchmarks build alike from an example detector's config.json: the spectrum
// distributions (and copies of them for the draw floors, standard and own), the PMT grid and the ADC stage, with the PE
// step and the ADC draws of the floor. ZozuvUzaBench and MultiPMTBench add their own stages on top.

#include "ADCSim.h"
#include "Distributions.h"
#include "FlatJson.h"
#include "MersenneTwister.h"
#include "SparseWaveform.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace velmora::bench {

// Draws of one simulate call, taken from the plain composition's intermediate results.
struct Draws {
    std::size_t pes = 0;
    std::size_t tot_entries = 0; // stored entries of the ToT-shaped waveform (MultiPMT)
    std::size_t hits = 0;        // ToT hits (MultiPMT)
    std::size_t adc_entries = 0; // entries of the ADC waveform
};

// Which ADC operation the composition uses. The optimised one serves only to count draws where the full
// convolution does not fit in memory.
enum class AdcPath : std::uint8_t { plain, optimised };

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

class DetectorBench {
  public:
    [[nodiscard]] int seed() const { return config_.integer("seed"); }
    [[nodiscard]] const std::filesystem::path& dir() const { return dir_; }

    SparseWaveform<double> pmt_waveform(const std::vector<double>& pe_times, std::mt19937& rng);

  protected:
    DetectorBench(const std::filesystem::path& dir, const AdcKeys& keys);

    [[nodiscard]] std::filesystem::path file(const std::string& key) const { return dir_ / config_.string(key); }

    // Entries of the full shaped waveform of the ADC stage.
    [[nodiscard]] std::size_t adc_shaped_entries(const SparseWaveform<double>& pmt) const;

    // The draws through the standard engine and distributions: the yardstick.
    void floor_pes(const Draws& d, std::mt19937& rng, double& sink);
    void floor_adc(const Draws& d, std::mt19937& rng, double& sink) const;
    // The same draws through the library's own engine and distributions.
    void floor_pes(const Draws& d, MersenneTwister& rng, double& sink) const;
    void floor_adc(const Draws& d, MersenneTwister& rng, double& sink) const;

    std::filesystem::path dir_;
    FlatJson config_;
    std::piecewise_linear_distribution<double> time_distribution_;
    std::piecewise_linear_distribution<double> amplitude_distribution_;
    double pmt_time_step_;
    ADCSim adc_;

  private:
    std::piecewise_linear_distribution<double> floor_time_distribution_;
    std::piecewise_linear_distribution<double> floor_amplitude_distribution_;
    draw::PiecewiseLinear own_time_distribution_;
    draw::PiecewiseLinear own_amplitude_distribution_;
    std::int64_t ratio_; // PMT grid steps per ADC step: the range of the random sampling phase
};

} // namespace velmora::bench
