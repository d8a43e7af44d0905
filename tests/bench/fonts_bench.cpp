// One line of 30 characters drawn into a 720 x 576 region with
// FMUC_PutString, with a solid background and over a picture, side by side
// with what a user would pick instead: FreeType's glyph cache (FTC_SBitCache)
// rendering the same Carlito outlines at the same size. Both do the same job
// on the same region: a TAP reaches the on-screen pixels only through the
// receiver's calls, so the FreeType line, too, fills the field (solid), reads
// its rectangle back with TAP_Osd_SaveBox, blends into it and writes it with
// TAP_Osd_RestoreBox, over the same height of field. The same line in Latin, Greek, Cyrillic and with
// combining marks. The ratios are printed at the end (goal: at least twice
// FreeType's speed).
//
// Over a picture, each line is drawn on fresh picture: the lines go down the
// screen, and the picture is painted again, outside the measurement, once
// they reach the bottom. The picture is flat along its rows, as the
// receiver's on-screen graphics are; a photograph, where every pixel differs,
// is measured too.
//
//   fonts_bench                       the benchmarks and the ratios (5
//                                     repetitions, interleaved, medians)
//   fonts_bench --callgrind LINES     draws LINES lines of each kind with the
//                                     collection of callgrind on only around
//                                     them, one dump per kind, for
//                                     instructions per line (scripts/bench.sh
//                                     runs this and prints the ratios):
//   valgrind --tool=callgrind --collect-atstart=no fonts_bench --callgrind 300
//   fonts_bench --loop solid|over LINES [freetype]
//                                     the Latin line LINES times, by
//                                     FMUC_PutString or by FreeType, alone,
//                                     for a profiler or a whole-process
//                                     timer; over the picture painted once,
//                                     always on the same row (the blend's
//                                     work does not depend on what lies below)
#include <benchmark/benchmark.h>
#include <valgrind/callgrind.h>

#include "bench/fonts_lines.h"
#include "bench/ratio_reporter.h"

using namespace fonts_lines;

namespace {

void run(benchmark::State& state, bool ft, Ground g, const char* line) {
  Drawer d(ft, g, line);
  d.paint();
  for (auto _ : state) {
    d.draw();
    if (d.needsPaint()) {
      state.PauseTiming();
      d.paint();
      state.ResumeTiming();
    }
  }
}

// Draws `lines` lines of every kind with callgrind collecting only around
// the draws; one dump per kind, named after it.
void callgrindRun(int lines) {
  CALLGRIND_ZERO_STATS;
  forEachKind([&](Ground g, const Script& s) {
    for (bool ft : {false, true}) {
      Drawer d(ft, g, s.line);
      d.paint();
      for (int i = 0; i < lines; ++i) {
        CALLGRIND_TOGGLE_COLLECT;
        d.draw();
        CALLGRIND_TOGGLE_COLLECT;
        if (d.needsPaint()) d.paint();
      }
      std::string name = benchName(ft, g, s.name);
      CALLGRIND_DUMP_STATS_AT(name.c_str());
    }
  });
  std::printf("drew %d lines of each kind; divide each dump's instruction count by %d\n", lines, lines);
}

}  // namespace

int main(int argc, char** argv) {
  if (!setUp()) return 1;
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "--loop") == 0) {
    bool ft = argc == 5 && std::strcmp(argv[4], "freetype") == 0;
    Drawer d(ft, std::strcmp(argv[2], "solid") == 0 ? Ground::Solid : Ground::Flat, kScripts[0].line);
    d.paint();
    for (int i = std::atoi(argv[3]); i > 0; --i) {
      d.slot = 0;
      d.draw();
    }
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--callgrind") == 0) {
    callgrindRun(std::atoi(argv[2]));
    return 0;
  }

  forEachKind([](Ground g, const Script& s) {
    for (bool ft : {false, true}) benchmark::RegisterBenchmark(benchName(ft, g, s.name).c_str(), run, ft, g, s.line);
  });
  // Repetitions, interleaved so that a busy moment hits both sides, unless
  // the command line says otherwise.
  std::vector<char*> args(argv, argv + argc);
  char reps[] = "--benchmark_repetitions=5", interleave[] = "--benchmark_enable_random_interleaving=true",
       minTime[] = "--benchmark_min_time=0.2", aggregates[] = "--benchmark_display_aggregates_only=true";
  args.insert(args.begin() + 1, {reps, interleave, minTime, aggregates});
  int n = int(args.size());
  benchmark::Initialize(&n, args.data());
  bench_support::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  forEachKind([&](Ground g, const Script& s) {
    const char* what = g == Ground::Solid  ? "solid background"
                       : g == Ground::Flat ? "over a picture"
                                           : "over a photograph (every pixel differs)";
    reporter.printRatio(benchName(false, g, s.name), benchName(true, g, s.name),
                        std::string("speed ratio FMUC_PutString / FreeType cache, ") + what + ", " + s.name, 2);
  });
  return 0;
}
