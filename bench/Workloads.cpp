#include "Workloads.h"

#include <random>
#include <utility>

namespace velmora::bench {

namespace {

constexpr unsigned pe_time_seed = 12345;

Workload random_times(std::string key, std::string description, std::size_t num_pes, double span) {
    std::mt19937_64 gen(pe_time_seed); // NOLINT(bugprone-random-generator-seed): the same PE times on every run
    std::uniform_real_distribution<double> uniform(0.0, span);
    std::vector<double> times(num_pes);
    for (double& t : times) {
        t = uniform(gen);
    }
    return {
        .key = std::move(key),
        .description = std::move(description),
        .calls = {{.channel = 0, .pe_times = std::move(times)}},
        .calibration = false,
        .num_pes = num_pes,
    };
}

// The PE list of generate_pe_list(num_channels, pes_per_channel, interval): channel i holds the times
// j * interval, j < pes_per_channel.
Workload pe_list(std::string key, std::string description, int num_channels, int pes_per_channel, double interval) {
    Workload w{
        .key = std::move(key),
        .description = std::move(description),
        .calls = {},
        .calibration = false,
        .num_pes = 0,
    };
    for (int i = 0; i < num_channels; ++i) {
        std::vector<double> times(static_cast<std::size_t>(pes_per_channel));
        for (std::size_t j = 0; j < times.size(); ++j) {
            times[j] = static_cast<double>(j) * interval;
        }
        w.num_pes += times.size();
        w.calls.push_back({.channel = i, .pe_times = std::move(times)});
    }
    return w;
}

Workload calibration(std::size_t num_sim) {
    Workload w{
        .key = "cal",
        .description = "calibrate_delay(1, " + std::to_string(num_sim) + ")",
        .calls = {},
        .calibration = true,
        .num_pes = num_sim,
    };
    w.calls.assign(num_sim, Call{.channel = 0, .pe_times = {0.0}});
    return w;
}

} // namespace

Workload flashes(int num_flashes, int pes_per_flash, double interval) {
    std::vector<double> times;
    for (int i = 0; i < num_flashes; ++i) {
        times.insert(times.end(), static_cast<std::size_t>(pes_per_flash), (i + 1) * interval);
    }
    const std::size_t n = times.size();
    return {
        .key = "flashes",
        .description = "",
        .calls = {{.channel = 7, .pe_times = std::move(times)}},
        .calibration = false,
        .num_pes = n,
    };
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

} // namespace velmora::bench
