#include "Report.h"

#include "Common.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

namespace velmora::bench {

void CollectingReporter::ReportRuns(const std::vector<Run>& runs) {
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

std::optional<double> CollectingReporter::seconds(const std::string& name) const {
    const auto it = seconds_.find(name);
    return it == seconds_.end() ? std::nullopt : std::optional<double>(it->second);
}

namespace {

// The (2)/(1) column: the ratio, or why there is none.
std::string plain_ratio(const Row& row, std::optional<double> plain, double model) {
    if (plain) {
        return format("%.2f", *plain / model);
    }
    return row.plain_note.empty() ? "-" : "skipped";
}

} // namespace

void print_table(const std::vector<std::unique_ptr<Row>>& rows, const CollectingReporter& reporter) {
    std::printf("\n(1) simulate, (2) plain composition of the stages, (3) draw floor of the standard engine and "
                "distributions, (4) of the library's own; real time per call\n");
    std::printf("%-44s %9s %10s %12s %8s %8s %8s %10s %13s\n", "case", "PEs", "records", "PEs/s (1)", "(1)/(3)",
                "(1)/(4)", "(3)/(4)", "(2)/(1)", "peak MiB (1)");
    for (const auto& row : rows) {
        const std::string prefix = row->model + "/" + row->key + "/";
        const auto model = reporter.seconds(prefix + "simulate");
        if (!model) {
            continue; // filtered out
        }
        const auto plain = reporter.seconds(prefix + "plain");
        const auto floor = reporter.seconds(prefix + "floor");
        const auto own_floor = reporter.seconds(prefix + "own_floor");
        const auto ratio = [](std::optional<double> a, std::optional<double> b) {
            return a && b ? format("%.2f", *a / *b) : std::string("-");
        };
        const std::string label = row->model + " " + row->key + ": " + row->description;
        std::printf("%-44s %9zu %10s %12s %8s %8s %8s %10s %13s\n", label.c_str(), row->pes, row->result.c_str(),
                    format("%.0f", static_cast<double>(row->pes) / *model).c_str(), ratio(model, floor).c_str(),
                    ratio(model, own_floor).c_str(), ratio(floor, own_floor).c_str(),
                    plain_ratio(*row, plain, *model).c_str(),
                    row->peak_mib ? format("%.1f", *row->peak_mib).c_str() : "n/a");
    }
    for (const auto& row : rows) {
        if (!row->plain_note.empty() && reporter.seconds(row->model + "/" + row->key + "/simulate")) {
            std::printf("skipped: %s %s plain composition %s\n", row->model.c_str(), row->key.c_str(),
                        row->plain_note.c_str());
        }
    }
}

} // namespace velmora::bench
