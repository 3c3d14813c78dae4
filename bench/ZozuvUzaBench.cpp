#include "ZozuvUzaBench.h"

#include "Memory.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <locale>
#include <map>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace velmora::bench {

ZozuvUzaBench::ZozuvUzaBench(const std::filesystem::path& dir)
    : DetectorBench(dir,
                    {
                        .pulse_shape = "pulse_shape",
                        .jitter = "jitter",
                        .gain = "gain",
                        .offset = "offset",
                        .preamp_clip = "preamp_clip",
                        .noise = "noise",
                        .clip = "clip",
                    }),
      trigger_(config_.number("adc_step"), config_.integer("waveform_samples"), config_.integer("retrigger_offset"),
               config_.int_array("trigger_kernel"), config_.integer("adc_threshold"), config_.integer("trigger_norm")),
      waveform_samples_(config_.integer("waveform_samples")), trigger_offset_(config_.integer("trigger_offset")),
      offset_(config_.number("offset")), early_handling_(policy(config_.string("early_handling"))) {}

ZozuvUzaBench::Model ZozuvUzaBench::make_model() const {
    return {file("time_spectrum"),
            file("amplitude_spectrum"),
            pmt_time_step_,
            config_.number("adc_step"),
            file("pulse_shape"),
            config_.integer("jitter"),
            config_.number("gain"),
            config_.number("offset"),
            config_.number("preamp_clip"),
            config_.number("noise"),
            config_.number("clip"),
            config_.integer("waveform_samples"),
            config_.integer("retrigger_offset"),
            config_.int_array("trigger_kernel"),
            config_.integer("adc_threshold"),
            config_.integer("trigger_norm"),
            config_.integer("trigger_offset"),
            seed(),
            early_handling_};
}

std::vector<ZozuvUzaBench::Record> ZozuvUzaBench::plain(const std::vector<double>& pe_times, int channel,
                                                        std::mt19937& rng, Draws* draws, AdcPath path) {
    const auto pmt = pmt_waveform(pe_times, rng);
    const auto adc = path == AdcPath::plain ? adc_.simulate_plain(pmt, rng) : adc_.simulate(pmt, rng);
    const auto trigger_times = trigger_.simulate_plain(adc);
    if (draws != nullptr) {
        *draws = {.pes = pe_times.size(), .adc_entries = adc.size()};
    }
    return records(adc, trigger_times, channel);
}

double ZozuvUzaBench::plain_peak_bytes(const SparseWaveform<double>& pmt) const {
    return growth_peak_entries(adc_shaped_entries(pmt)) * sizeof(SparseWaveform<double>::Sample);
}

ZozuvUza::EarlyHandling ZozuvUzaBench::policy(const std::string& name) {
    for (const auto& [known, policy] : ZozuvUza::early_handling_names) {
        if (name == known) {
            return policy;
        }
    }
    throw std::runtime_error("unknown early_handling '" + name + "'");
}

std::vector<ZozuvUzaBench::Record> ZozuvUzaBench::records(const SparseWaveform<unsigned short>& adc,
                                                          const std::vector<double>& trigger_times, int channel) const {
    const double step = adc.time_step();
    const auto offset_f = static_cast<float>(offset_);
    const auto fill = static_cast<unsigned short>(std::min(std::trunc(offset_), 65535.0));
    std::vector<Record> out;
    for (const double t : trigger_times) {
        const double start = t + (static_cast<double>(trigger_offset_) * step);
        const double end = start + (static_cast<double>(waveform_samples_) * step);
        std::vector<unsigned short> samples = adc.get_samples(start, end);
        if (offset_ > 0.0 && !samples.empty() && samples.back() == 0) {
            for (auto it = samples.rbegin(); it != samples.rend() && *it == 0; ++it) {
                *it = fill;
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
                std::cerr << line.str() << '\n';
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
        out.push_back({
            .channel = channel,
            .trigger_time_s = seconds,
            .trigger_time_ticks = ticks,
            .baseline = offset_f,
            .intsum = intsum,
            .waveform = std::move(samples),
        });
    }
    return out;
}

} // namespace velmora::bench
