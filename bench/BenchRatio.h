// Ratios of a benchmark to its baseline of the same run, from the medians of
// repeated runs. A program runs its benchmarks through a MedianReporter
// (which prints what the console reporter prints and keeps each repetition's
// CPU time per iteration), then prints one line per comparison:
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

namespace znbench {

class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        samples_[run.benchmark_name()].push_back(run.GetAdjustedCPUTime());
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The median CPU time per iteration of the named benchmark, in its time
  // unit, or 0 when it did not run.
  double median(const std::string& name) const {
    auto it = samples_.find(name);
    if (it == samples_.end() || it->second.empty()) return 0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }
  std::size_t runs(const std::string& name) const {
    auto it = samples_.find(name);
    return it == samples_.end() ? 0 : it->second.size();
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

 private:
  std::map<std::string, std::vector<double>> samples_;
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

}  // namespace znbench

#endif  // ZN_BENCH_BENCHRATIO_H_
