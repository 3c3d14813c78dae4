#pragma once

// What the benchmark reports: the console output of every run as usual, then one table with, per case,
// the PEs/s of simulate, its ratio to the draw floor, the ratio of the plain composition to it, and the
// peak resident memory that one call of simulate adds.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora::bench {

// One line of the table: a (detector, workload) pair, filled in while the case is prepared.
struct Row {
    std::string model; // the detector's label, the first part of its benchmark names
    std::string key;
    std::string description;
    std::size_t pes = 0;
    std::string result; // records, or the delay of a calibration
    std::optional<double> peak_mib;
    std::string plain_note; // why (2) was not run, if it was not
};

// Collects the real time per iteration of every run while printing as usual.
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    explicit CollectingReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override;

    // The shortest real time per iteration of the named benchmark; nullopt if it did not run.
    [[nodiscard]] std::optional<double> seconds(const std::string& name) const;

  private:
    std::map<std::string, double> seconds_;
};

void print_table(const std::vector<std::unique_ptr<Row>>& rows, const CollectingReporter& reporter);

} // namespace velmora::bench
