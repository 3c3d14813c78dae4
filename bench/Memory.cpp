#include "Memory.h"

#include <bit>
#include <fstream>
#include <limits>
#include <string>

namespace velmora::bench {

long status_kib(const char* key) {
    std::ifstream in("/proc/self/status");
    const std::string prefix = std::string(key) + ":";
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(prefix)) {
            return std::stol(line.substr(prefix.size()));
        }
    }
    return -1;
}

bool reset_peak_rss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

double available_gib() {
    std::ifstream in("/proc/meminfo");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("MemAvailable:")) {
            return std::stod(line.substr(13)) / (1024.0 * 1024.0);
        }
    }
    return 0.0;
}

double growth_peak_entries(std::size_t n) {
    return n < 2 ? static_cast<double>(n)
                 : std::max(static_cast<double>(n), 2.0 * static_cast<double>(std::bit_floor(n - 1)));
}

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

} // namespace velmora::bench
