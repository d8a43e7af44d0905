// Draws one kind of the font benchmark's line a given number of times, for
// an outside instruction counter: the same program run with 0 lines and
// with N lines differs by N lines' work, whatever setting up costs.
// scripts/fonts-mips-insns.sh runs it for the receiver's MIPS under
// qemu-mipsel with an instruction-counting plugin.
//   fonts_count KIND LINES     KIND as fonts_bench names it: ours/solid/latin,
//                              freetype/over/greek, ours/photo/latin ...;
//                              calls/KIND makes only the receiver's calls of
//                              FreeType's line (fill, save, restore), and
//                              ourcalls/KIND those of FMUC_PutString's line
// Over a picture every line lands on the same row of the picture painted
// once: the blend's work does not depend on the pixels below.
#include "bench/fonts_lines.h"

using namespace fonts_lines;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fonts_count KIND LINES\n");
    return 2;
  }
  const std::string kind = argv[1];
  const int lines = std::atoi(argv[2]);
  if (!setUp()) return 1;
  bool found = false;
  forEachKind([&](Ground g, const Script& s) {
    const std::string rest = std::string(groundName(g)) + "/" + s.name;
    const bool ours = kind == "ourcalls/" + rest;
    if (found || (!ours && kind != "calls/" + rest)) return;
    found = true;
    Drawer d(true, g, s.line);
    d.paint();
    // Each renderer's rectangle is as wide as its own line; the fields are
    // of the same height.
    const int width = ours ? int(FMUC_GetStringWidth(s.line, &g_font)) : g_ft->width(d.decoded);
    const uint32_t y = g == Ground::Solid ? kY : kSlotTop;
    for (int i = 0; i < lines; ++i) g_ft->receiverCalls(width, y, g == Ground::Solid);
  });
  forEachKind([&](Ground g, const Script& s) {
    for (bool ft : {false, true}) {
      if (found || benchName(ft, g, s.name) != kind) continue;
      found = true;
      Drawer d(ft, g, s.line);
      d.paint();
      for (int i = 0; i < lines; ++i) {
        d.slot = 0;
        d.draw();
      }
    }
  });
  if (!found) {
    std::fprintf(stderr, "fonts_count: no kind %s\n", kind.c_str());
    return 2;
  }
  return 0;
}
