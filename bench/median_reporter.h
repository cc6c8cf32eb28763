#pragma once

// The console output of Google Benchmark as usual, plus the median bytes per second of each
// benchmark, so that a run can end with ratios of benchmarks measured side by side in it.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class MedianReporter : public benchmark::ConsoleReporter {
 public:
  explicit MedianReporter(OutputOptions options) : ConsoleReporter(options) {}
  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    for (const Run& run : reports) {
      const auto rate = run.counters.find("bytes_per_second");
      if (run.error_occurred || rate == run.counters.end()) {
        continue;
      }
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      if (median || single) {
        Medians[run.run_name.function_name] = rate->second.value;
      }
    }
  }
  std::map<std::string, double> Medians;
};

// Prints ours / reference with both rates, or "not measured" when either is missing.
inline void PrintRatio(const std::map<std::string, double>& medians, const char* what, const std::string& ours,
                       const std::string& reference) {
  const auto o = medians.find(ours);
  const auto r = medians.find(reference);
  if (o == medians.end() || r == medians.end() || r->second <= 0) {
    std::printf("%-44s not measured\n", what);
    return;
  }
  std::printf("%-44s %6.3f  (%.0f / %.0f MB/s)\n", what, o->second / r->second, o->second / 1e6, r->second / 1e6);
}

// Google Benchmark's flags for every run: 9 repetitions in random interleaving, aggregates only,
// then the command line's own flags, which override them. False on an unknown flag.
inline bool InitializeBenchmarks(int argc, char** argv) {
  static char repetitions[] = "--benchmark_repetitions=9";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char aggregates[] = "--benchmark_display_aggregates_only=true";
  static std::vector<char*> args;
  args = {argv[0], repetitions, interleave, aggregates};
  args.insert(args.end(), argv + 1, argv + argc);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  return !benchmark::ReportUnrecognizedArguments(count, args.data());
}
