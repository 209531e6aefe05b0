// Ratios of a benchmark to its baseline of the same run, from the medians of
// repeated runs. A program runs its benchmarks through a MedianReporter
// (which prints what the console reporter prints and keeps each repetition's
// time per iteration: CPU time, or wall time for a benchmark that asked for
// real or manual time), then prints one line per comparison:
//   RATIO <name> <ratio> (<details>)
// With no --benchmark_repetitions on the command line, WithRepetitions()
// asks for five repetitions run in random interleaved order, so that the two
// sides of a pair alternate while the machine's load changes.
//
// Thread safety: used from main() only.
#ifndef ZN_BENCH_BENCHRATIO_H_
#define ZN_BENCH_BENCHRATIO_H_

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <unistd.h>

namespace znbench {

class MedianReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal: a colour code left at the start of a line
  // would hide the RATIO lines from scripts/bench, which reads a pipe.
  MedianReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        // A benchmark timed with UseRealTime or UseManualTime measures wall
        // time (its work waits on other threads or the network); its name
        // ends in "/real_time" or "/manual_time".
        const bool wall = !run.run_name.time_type.empty();
        samples_[run.benchmark_name()].push_back(wall ? run.GetAdjustedRealTime()
                                                      : run.GetAdjustedCPUTime());
        for (const auto& [counter, value] : run.counters) {
          counters_[run.benchmark_name()][counter].push_back(value.value);
        }
      } else if (run.run_type == Run::RT_Aggregate && !run.error_occurred &&
                 run.aggregate_name == "median" && run.aggregate_unit == benchmark::kTime) {
        // A benchmark that reports its aggregates only: its median stands
        // for its repetitions.
        const bool wall = !run.run_name.time_type.empty();
        aggregates_[run.run_name.str()] = {
            wall ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime(),
            static_cast<std::size_t>(run.repetitions)};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The median time per iteration of the named benchmark, in its time
  // unit, or 0 when it did not run.
  double median(const std::string& name) const {
    auto it = samples_.find(name);
    if (it == samples_.end() || it->second.empty()) {
      auto aggregate = aggregates_.find(name);
      return aggregate == aggregates_.end() ? 0 : aggregate->second.median;
    }
    return Median(it->second);
  }
  std::size_t runs(const std::string& name) const {
    auto it = samples_.find(name);
    if (it == samples_.end() || it->second.empty()) {
      auto aggregate = aggregates_.find(name);
      return aggregate == aggregates_.end() ? 0 : aggregate->second.runs;
    }
    return it->second.size();
  }

  // Prints the RATIO line of `measured` against `baseline` when both ran;
  // `unit` names the benchmarks' time unit.
  void printRatio(const std::string& ratioName, const std::string& measured,
                  const std::string& baseline, const char* unit) const {
    const double a = median(measured);
    const double b = median(baseline);
    if (a <= 0 || b <= 0) return;
    std::printf("RATIO %s %.2f (median of %zu: %.1f %s, %s %.1f %s)\n", ratioName.c_str(), a / b,
                std::min(runs(measured), runs(baseline)), a, unit, baseline.c_str(), b, unit);
  }

  // Prints the RATIO line of a benchmark that times both sides of its
  // comparison itself and reports their quotient as the counter `counter`
  // (the median over its repetitions), when it ran.
  void printCounterRatio(const std::string& ratioName, const std::string& benchmark,
                         const std::string& counter) const {
    auto it = counters_.find(benchmark);
    if (it == counters_.end()) return;
    auto values = it->second.find(counter);
    if (values == it->second.end() || values->second.empty()) return;
    std::printf("RATIO %s %.2f (median of %zu: %s of %s)\n", ratioName.c_str(),
                Median(values->second), values->second.size(), counter.c_str(), benchmark.c_str());
  }

 private:
  struct Aggregate {
    double median = 0;
    std::size_t runs = 0;
  };

  static double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

  std::map<std::string, std::vector<double>> samples_;
  std::map<std::string, std::map<std::string, std::vector<double>>> counters_;
  std::map<std::string, Aggregate> aggregates_;
};

// argv with five interleaved repetitions added unless the caller chose a
// number of repetitions. The strings live as long as the program.
inline std::vector<char*> WithRepetitions(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  bool chosen = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0) chosen = true;
  }
  if (!chosen) {
    static char repetitions[] = "--benchmark_repetitions=5";
    static char interleaved[] = "--benchmark_enable_random_interleaving=true";
    args.push_back(repetitions);
    args.push_back(interleaved);
  }
  args.push_back(nullptr);
  return args;
}

// The main() of a benchmark program that prints ratios: runs the benchmarks
// named on the command line (with WithRepetitions) through `reporter`;
// answers main()'s exit status. The caller prints its RATIO lines after.
inline int RunWithMedians(int argc, char** argv, MedianReporter& reporter) {
  std::vector<char*> args = WithRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace znbench

#endif  // ZN_BENCH_BENCHRATIO_H_
