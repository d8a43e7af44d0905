// Runs the registered benchmarks and prints how many times faster ours is
// than what a user would pick instead, pair by pair, from the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench_support {

// Keeps each benchmark's real (wall) and CPU time per iteration: with
// repetitions, the median of them, which a busy machine disturbs less than
// the mean.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.iterations <= 0) continue;
      std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Iteration) {
        real_[name].push_back(run.GetAdjustedRealTime());
        cpu_[name].push_back(run.GetAdjustedCPUTime());
      } else if (run.aggregate_name == "median") {  // shown in place of the repetitions
        real_[name] = {run.GetAdjustedRealTime()};
        cpu_[name] = {run.GetAdjustedCPUTime()};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Median wall time per iteration of `name`, or 0 when it did not run.
  double perIteration(const std::string& name) const { return median(real_, name); }
  double cpuPerIteration(const std::string& name) const { return median(cpu_, name); }

  // Prints "<label>: <their time / our time>x (goal: at least <goal>x)", by
  // wall time, and by CPU time, which a loaded machine disturbs less.
  void printRatio(const std::string& ours, const std::string& theirs, const std::string& label, double goal) const {
    double o = perIteration(ours), t = perIteration(theirs);
    if (o <= 0 || t <= 0) return;
    std::printf("%s: %.2fx (CPU time %.2fx; goal: at least %gx)\n", label.c_str(), t / o,
                cpuPerIteration(theirs) / cpuPerIteration(ours), goal);
  }

 private:
  using Times = std::map<std::string, std::vector<double>>;
  static double median(const Times& times, const std::string& name) {
    auto t = times.find(name);
    if (t == times.end() || t->second.empty()) return 0;
    std::vector<double> v = t->second;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  }

  Times real_, cpu_;
};

}  // namespace bench_support
