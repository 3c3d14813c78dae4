// Native benchmark of the detector models' simulate. Every example detector registered in run() is timed
// on every workload of Workloads.cpp, three ways per case (Case.h): (1) the model's simulate, (2) the plain
// composition of the stages for the same work, checked bit for bit against (1) before anything is timed,
// (3) the draw floor through the standard engine and distributions, the yardstick, (4) the same draws
// through the library's own. After the runs one table (Report.cpp) gives per case the PEs/s of (1), the
// ratios (1)/(3), (1)/(4), (3)/(4) and (2)/(1), and the peak resident memory that one call of (1) adds.

#include "Case.h"
#include "Common.h"
#include "Memory.h"
#include "MultiPMTBench.h"
#include "Report.h"
#include "Workloads.h"
#include "ZozuvUzaBench.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace velmora::bench {

namespace {

constexpr double min_seconds = 0.5; // per benchmark; a call longer than that runs once

// The cases of every workload on one detector, under benchmark names "<label>/<workload>/<way>".
class Registry {
  public:
    Registry(std::vector<Workload> workloads, double plain_limit_gib)
        : workloads_(std::move(workloads)), plain_limit_gib_(plain_limit_gib) {}

    template <typename Detector>
    void add(const std::string& label, const std::shared_ptr<Detector>& det) {
        std::cout << label << " detector: " << det->dir().string() << "\n";
        for (const Workload& w : workloads_) {
            rows_.push_back(std::make_unique<Row>(Row{
                .model = label,
                .key = w.key,
                .description = w.description,
                .pes = w.num_pes,
                .result = {},
                .peak_mib = {},
                .plain_note = {},
            }));
            auto c = std::make_shared<Case<Detector>>(det, w, plain_limit_gib_, *rows_.back());
            keep_.push_back(c);
            const auto add_way = [&](const char* what, void (Case<Detector>::*member)(benchmark::State&)) {
                benchmark::RegisterBenchmark(c->name(what).c_str(),
                                             [c, member](benchmark::State& s) { (*c.*member)(s); })
                    ->UseRealTime()
                    ->MinTime(min_seconds)
                    ->Unit(benchmark::kMillisecond);
            };
            add_way("simulate", &Case<Detector>::bench_model);
            add_way("plain", &Case<Detector>::bench_plain);
            add_way("floor", &Case<Detector>::bench_floor);
            add_way("own_floor", &Case<Detector>::bench_own_floor);
        }
    }

    [[nodiscard]] const std::vector<std::unique_ptr<Row>>& rows() const { return rows_; }

  private:
    std::vector<Workload> workloads_;
    double plain_limit_gib_;
    std::vector<std::unique_ptr<Row>> rows_;
    std::vector<std::shared_ptr<void>> keep_; // the cases, alive while the registered benchmarks run
};

int run(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return EXIT_FAILURE;
    }
    const std::filesystem::path examples = VELMORA_EXAMPLES_DIR;

    // The plain composition holds the full shaped waveform; it runs only where that fits comfortably.
    double plain_limit_gib = available_gib() / 2.0;
    if (const char* limit = std::getenv("VELMORA_BENCH_PLAIN_GIB")) {
        plain_limit_gib = std::stod(limit);
    }

    Registry registry(workloads(), plain_limit_gib);
    registry.add("ZozuvUza", std::make_shared<ZozuvUzaBench>(examples / "zozuvuza"));
    registry.add("ZozuvUza1PE", std::make_shared<ZozuvUzaBench>(examples / "zozuvuza_single_pe"));
    registry.add("MultiPMT", std::make_shared<MultiPMTBench>(examples / "multipmt"));
    std::cout << "plain composition memory limit: " << format("%.1f", plain_limit_gib) << " GiB\n" << std::flush;

    CollectingReporter reporter(isatty(STDOUT_FILENO) != 0 ? benchmark::ConsoleReporter::OO_Defaults
                                                           : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_table(registry.rows(), reporter);
    benchmark::Shutdown();
    return EXIT_SUCCESS;
}

} // namespace

} // namespace velmora::bench

int main(int argc, char** argv) {
    try {
        return velmora::bench::run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "velmora_bench: " << e.what() << '\n';
        return EXIT_FAILURE;
    }
}
