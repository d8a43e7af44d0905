// Runs the registered benchmarks and prints how many times faster ours is
// than what a user would pick instead, pair by pair, from the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench_support {

// Keeps each benchmark's real time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && run.iterations > 0)
        perIteration_[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints "<label>: <their time / our time>x (goal: at least <goal>x)".
  void printRatio(const std::string& ours, const std::string& theirs, const std::string& label, double goal) const {
    auto o = perIteration_.find(ours), t = perIteration_.find(theirs);
    if (o == perIteration_.end() || t == perIteration_.end() || o->second <= 0) return;
    std::printf("%s: %.2fx (goal: at least %gx)\n", label.c_str(), t->second / o->second, goal);
  }

 private:
  std::map<std::string, double> perIteration_;
};

}  // namespace bench_support
