#pragma once

// The work that every detector is timed on: the simulate calls of one case, in order, with their PE times.

#include <cstddef>
#include <string>
#include <vector>

namespace velmora::bench {

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

// The timed cases, the same for every detector: (a) to (d) and the delay calibration.
std::vector<Workload> workloads();

// One call of num_flashes bursts of pes_per_flash PEs at the same time, interval apart: bright enough to
// trigger either detector. Serves as the probe that compares generator states after a case.
Workload flashes(int num_flashes, int pes_per_flash, double interval);

} // namespace velmora::bench
