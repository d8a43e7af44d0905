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

// Keeps each benchmark's real time per iteration: with repetitions, the
// median of them, which a busy machine disturbs less than the mean.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.iterations <= 0) continue;
      if (run.run_type == Run::RT_Iteration)
        times_[run.run_name.str()].push_back(run.GetAdjustedRealTime());
      else if (run.aggregate_name == "median")
        median_[run.run_name.str()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Real time per iteration of `name`, or 0 when it did not run.
  double perIteration(const std::string& name) const {
    if (auto m = median_.find(name); m != median_.end()) return m->second;
    auto t = times_.find(name);
    if (t == times_.end() || t->second.empty()) return 0;
    std::vector<double> v = t->second;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  }

  // Prints "<label>: <their time / our time>x (goal: at least <goal>x)".
  void printRatio(const std::string& ours, const std::string& theirs, const std::string& label, double goal) const {
    double o = perIteration(ours), t = perIteration(theirs);
    if (o <= 0 || t <= 0) return;
    std::printf("%s: %.2fx (goal: at least %gx)\n", label.c_str(), t / o, goal);
  }

 private:
  std::map<std::string, std::vector<double>> times_;
  std::map<std::string, double> median_;
};

}  // namespace bench_support
