#include "DetectorBench.h"

#include "Memory.h"
#include "PMTResponse.h"

namespace velmora::bench {

DetectorBench::DetectorBench(const std::filesystem::path& dir, const AdcKeys& keys)
    : dir_(dir), config_(FlatJson::read(dir / "config.json")),
      time_distribution_(load_distribution(file("time_spectrum"))),
      amplitude_distribution_(load_distribution(file("amplitude_spectrum"))),
      pmt_time_step_(config_.number("pmt_time_step")),
      adc_(config_.number("adc_step"),
           load_pulse_shape(file(keys.pulse_shape), pmt_time_step_, "Pulse shape time step does not match PMT step."),
           config_.integer(keys.jitter), config_.number(keys.gain), config_.number(keys.offset),
           config_.number(keys.preamp_clip), config_.number(keys.noise), config_.number(keys.clip)),
      floor_time_distribution_(time_distribution_), floor_amplitude_distribution_(amplitude_distribution_),
      own_time_distribution_(load_spectrum(file("time_spectrum"))),
      own_amplitude_distribution_(load_spectrum(file("amplitude_spectrum"))),
      ratio_(time_to_index(adc_.adc_step(), pmt_time_step_)) {}

SparseWaveform<double> DetectorBench::pmt_waveform(const std::vector<double>& pe_times, std::mt19937& rng) {
    return pe_to_waveform(pe_times, time_distribution_, amplitude_distribution_, pmt_time_step_, rng);
}

std::size_t DetectorBench::adc_shaped_entries(const SparseWaveform<double>& pmt) const {
    return convolution_entries(pmt, adc_.pulse_shape().kernel().size(), 1);
}

void DetectorBench::floor_pes(const Draws& d, std::mt19937& rng, double& sink) {
    for (std::size_t i = 0; i < d.pes; ++i) {
        sink += floor_time_distribution_(rng);
        sink += floor_amplitude_distribution_(rng);
    }
}

void DetectorBench::floor_adc(const Draws& d, std::mt19937& rng, double& sink) const {
    if (adc_.jitter() < 0) {
        std::uniform_int_distribution<int> phase(0, static_cast<int>(ratio_ - 1));
        sink += phase(rng);
    }
    std::normal_distribution<double> noise(0.0, 1.0);
    for (std::size_t i = 0; i < d.adc_entries; ++i) {
        sink += noise(rng);
    }
}

void DetectorBench::floor_pes(const Draws& d, MersenneTwister& rng, double& sink) const {
    for (std::size_t i = 0; i < d.pes; ++i) {
        sink += own_time_distribution_(rng);
        sink += own_amplitude_distribution_(rng);
    }
}

void DetectorBench::floor_adc(const Draws& d, MersenneTwister& rng, double& sink) const {
    if (adc_.jitter() < 0) {
        sink += draw::uniform_int(rng, 0, static_cast<int>(ratio_ - 1));
    }
    draw::PolarNormal noise;
    for (std::size_t i = 0; i < d.adc_entries; ++i) {
        sink += noise(rng);
    }
}

} // namespace velmora::bench
