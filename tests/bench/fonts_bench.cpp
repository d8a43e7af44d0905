// One line of 30 mixed Latin characters drawn into a 720 x 576 region with
// FMUC_PutString, with a solid background and over the picture, side by side
// with what a user would pick instead: FreeType's glyph cache (FTC_SBitCache)
// rendering the same Carlito outlines at the same size, blended into an ARGB
// buffer of the same size. The ratio is printed at the end (goal: at least
// twice FreeType's speed).
//
//   fonts_bench                       the benchmarks and the ratios
//   fonts_bench --callgrind LINES     draws LINES lines each way with the
//                                     collection of callgrind on only around
//                                     them, for instructions per line:
//   valgrind --tool=callgrind --collect-atstart=no fonts_bench --callgrind 1000
//   fonts_bench --loop solid|over LINES
//                                     FMUC_PutString alone, for a profiler
#include <benchmark/benchmark.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_CACHE_H
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/emulator.h"
#include "core/sandbox.h"
#include "lib/fonts/fonts.h"
#include "bench/ratio_reporter.h"
#include "lib/text/text.h"

namespace {

const char* const kLine = "Grüße aus Köln, Ça va? Øre 12€";
constexpr int kPixels = 14;
constexpr uint32_t kX = 20, kY = 100, kMaxX = 700, kFg = 0xFFFFFFFF, kBg = 0xFF101010;
const char* const kCarlito = "/usr/share/fonts/truetype/crosextra/Carlito-Regular.ttf";

FontDataUC g_font{};
uint16_t g_rgn = 0;

// ---- FreeType through its cache ------------------------------------------------

struct FreeTypeLine {
  FT_Library lib = nullptr;
  FTC_Manager manager = nullptr;
  FTC_CMapCache cmap = nullptr;
  FTC_SBitCache sbits = nullptr;
  std::vector<uint32_t> buffer = std::vector<uint32_t>(720 * 576, 0xFF336699);
  std::u32string text;
  int ascent = 0, lineHeight = 0;

  static FT_Error requester(FTC_FaceID, FT_Library library, FT_Pointer, FT_Face* face) {
    return FT_New_Face(library, kCarlito, 0, face);
  }

  bool open() {
    if (FT_Init_FreeType(&lib) || FTC_Manager_New(lib, 0, 0, 0, requester, nullptr, &manager) ||
        FTC_CMapCache_New(manager, &cmap) || FTC_SBitCache_New(manager, &sbits))
      return false;
    FTC_ScalerRec scaler{};
    scaler.face_id = nullptr;
    scaler.width = 0;
    scaler.height = kPixels;
    scaler.pixel = 1;
    FT_Size size;
    if (FTC_Manager_LookupSize(manager, &scaler, &size)) return false;
    ascent = int((size->metrics.ascender + 63) >> 6);
    lineHeight = ascent + int((-size->metrics.descender + 63) >> 6);
    for (const char* p = kLine; *p;) {
      uint8_t n = 1;
      text.push_back(UTF8ToUTF32(p, &n));
      p += n;
    }
    return true;
  }

  ~FreeTypeLine() {
    if (manager) FTC_Manager_Done(manager);
    if (lib) FT_Done_FreeType(lib);
  }

  // Blends channel by channel, as the TAP's renderer does.
  static uint32_t blend(uint32_t a, uint32_t fg, uint32_t bg) {
    uint32_t out = fg & 0xFF000000u;
    for (int shift = 0; shift < 24; shift += 8) {
      uint32_t f = (fg >> shift) & 0xFF, b = (bg >> shift) & 0xFF;
      out |= (((255 - a) * b + a * f) >> 8) << shift;
    }
    return out;
  }

  void draw(bool solid) {
    if (solid)
      for (int y = 0; y <= lineHeight; ++y)
        std::fill_n(&buffer[size_t(kY + y) * 720 + kX], kMaxX - kX, kBg);
    FTC_ImageTypeRec type{};
    type.face_id = nullptr;
    type.width = 0;
    type.height = kPixels;
    type.flags = FT_LOAD_DEFAULT | FT_LOAD_RENDER;
    int pen = int(kX);
    for (char32_t cp : text) {
      FT_UInt index = FTC_CMapCache_Lookup(cmap, nullptr, -1, cp);
      FTC_SBit sbit;
      if (FTC_SBitCache_Lookup(sbits, &type, index, &sbit, nullptr)) continue;
      int top = int(kY) + ascent - sbit->top;
      for (int r = 0; r < sbit->height; ++r) {
        const uint8_t* src = sbit->buffer + r * sbit->pitch;
        uint32_t* dst = &buffer[size_t(top + r) * 720 + pen + sbit->left];
        for (int c = 0; c < sbit->width; ++c) {
          uint32_t a = src[c];
          if (a == 0) continue;
          dst[c] = a == 255 ? kFg : blend(a, kFg, dst[c]);
        }
      }
      pen += sbit->xadvance;
    }
  }
};

FreeTypeLine* g_ft = nullptr;

// ---- the benchmarks -----------------------------------------------------------------

void BM_PutString_Solid(benchmark::State& state) {
  for (auto _ : state) FMUC_PutString(g_rgn, kX, kY, kMaxX, kLine, kFg, kBg, &g_font, 0, 0);
}
void BM_PutString_Over(benchmark::State& state) {
  for (auto _ : state) FMUC_PutString(g_rgn, kX, kY, kMaxX, kLine, kFg, 0, &g_font, 0, 0);
}
void BM_FreeType_Solid(benchmark::State& state) {
  for (auto _ : state) {
    g_ft->draw(true);
    benchmark::DoNotOptimize(g_ft->buffer.data());
  }
}
void BM_FreeType_Over(benchmark::State& state) {
  for (auto _ : state) {
    g_ft->draw(false);
    benchmark::DoNotOptimize(g_ft->buffer.data());
  }
}
BENCHMARK(BM_PutString_Solid);
BENCHMARK(BM_FreeType_Solid);
BENCHMARK(BM_PutString_Over);
BENCHMARK(BM_FreeType_Over);

bool setUp() {
  std::string error;
  if (!emu::inSandbox() && !emu::enterSandboxInPlace({}, &error)) {
    std::fprintf(stderr, "fonts_bench: cannot make the sandbox: %s\n", error.c_str());
    return false;
  }
  emu::Config config;
  config.virtualClock = true;
  if (!emu::reset(config, &error)) {
    std::fprintf(stderr, "fonts_bench: cannot make the receiver: %s\n", error.c_str());
    return false;
  }
  if (!FMUC_LoadFontFile("Calibri_14.ufnt", &g_font)) {
    std::fprintf(stderr, "fonts_bench: Calibri_14.ufnt is not in the disk template (build the 'disk' target)\n");
    return false;
  }
  g_rgn = uint16_t(TAP_Osd_Create(0, 0, 720, 576, 0, 0));
  TAP_Osd_FillBox(g_rgn, 0, 0, 720, 576, 0xFF336699);
  g_ft = new FreeTypeLine;
  if (!g_ft->open()) {
    std::fprintf(stderr, "fonts_bench: FreeType cannot open %s\n", kCarlito);
    return false;
  }
  // Both draw the same characters: the line's glyphs are cached on both sides.
  FMUC_PutString(g_rgn, kX, kY, kMaxX, kLine, kFg, kBg, &g_font, 0, 0);
  g_ft->draw(true);
  std::printf("line: \"%s\" (%u pixels wide in Calibri_14.ufnt, %d pixels per em in FreeType)\n", kLine,
              FMUC_GetStringWidth(kLine, &g_font), kPixels);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!setUp()) return 1;
  if (argc == 4 && std::strcmp(argv[1], "--loop") == 0) {
    // Plain loop for a profiler: --loop solid|over LINES.
    uint32_t bg = std::strcmp(argv[2], "solid") == 0 ? kBg : 0;
    for (int i = std::atoi(argv[3]); i > 0; --i) FMUC_PutString(g_rgn, kX, kY, kMaxX, kLine, kFg, bg, &g_font, 0, 0);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--callgrind") == 0) {
    int lines = std::atoi(argv[2]);
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
    for (int i = 0; i < lines; ++i) FMUC_PutString(g_rgn, kX, kY, kMaxX, kLine, kFg, kBg, &g_font, 0, 0);
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT("FMUC_PutString solid");
    CALLGRIND_TOGGLE_COLLECT;
    for (int i = 0; i < lines; ++i) FMUC_PutString(g_rgn, kX, kY, kMaxX, kLine, kFg, 0, &g_font, 0, 0);
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT("FMUC_PutString over");
    CALLGRIND_TOGGLE_COLLECT;
    for (int i = 0; i < lines; ++i) g_ft->draw(true);
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT("FreeType solid");
    CALLGRIND_TOGGLE_COLLECT;
    for (int i = 0; i < lines; ++i) g_ft->draw(false);
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT("FreeType over");
    std::printf("drew %d lines each way; divide each dump's instruction count by %d\n", lines, lines);
    return 0;
  }

  benchmark::Initialize(&argc, argv);
  bench_support::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatio("BM_PutString_Solid", "BM_FreeType_Solid",
                      "speed ratio FMUC_PutString / FreeType cache, solid background", 2);
  reporter.printRatio("BM_PutString_Over", "BM_FreeType_Over",
                      "speed ratio FMUC_PutString / FreeType cache, over the picture", 2);
  return 0;
}
