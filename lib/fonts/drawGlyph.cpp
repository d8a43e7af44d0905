// The pixel path of FMUC_PutStringAA. Each kind of blend has a loop of its
// own, chosen once per glyph, so no pixel tests what is fixed for the line.
#include <cstring>

#include "lib/fonts/internal.h"

namespace fonts_internal {
namespace {

// A solid background: every partial coverage has its pixel in the table.
struct TableBlend {
  const uint32_t* table;
  uint32_t operator()(uint32_t a, uint32_t) const { return table[a]; }
};

// Over the picture. Text over flat stretches of picture blends the same
// pairs again and again, so each coverage keeps its last pixel beneath and
// the blend over it; only a change of either is worked out.
struct Memo {
  uint32_t below[256];
  uint32_t result[256];  // 0 while unknown; a true 0 is just worked out again
  uint32_t foreground;
  float colourFactor;
  bool kept;
};

Memo g_memo;

// With a colour factor of 1, red and blue share one multiplication and
// green has one of its own. Each channel's sum (255 - a) * b + a * f stays
// below 2^16, so no lane spills into the next, and the result is
// FM_AlphaBlendRGB's to the bit. Plain 32-bit arithmetic, as fast on the
// receiver's MIPS as on the PC. The colour is read from the memo, which
// leaves the loop its registers.
struct PackedOver {
  uint32_t operator()(uint32_t a, uint32_t below) const {
    uint32_t result = g_memo.result[a];
    if (g_memo.below[a] == below && result != 0) return result;
    uint32_t f = g_memo.foreground, rest = 255 - a;
    uint32_t rb = ((below & 0x00FF00FFu) * rest + (f & 0x00FF00FFu) * a) >> 8 & 0x00FF00FFu;
    uint32_t g = ((below & 0x0000FF00u) * rest + (f & 0x0000FF00u) * a) >> 8 & 0x0000FF00u;
    result = (f & 0xFF000000u) | rb | g;
    g_memo.below[a] = below;
    g_memo.result[a] = result;
    return result;
  }
};

// Any other colour factor: channel by channel.
struct ScaledOver {
  uint32_t operator()(uint32_t a, uint32_t below) const {
    uint32_t result = g_memo.result[a];
    if (g_memo.below[a] == below && result != 0) return result;
    uint32_t f = g_memo.foreground;
    result = (f & 0xFF000000u) | FM_AlphaBlendRGB(uint8_t(a), f, below, g_memo.colourFactor);
    g_memo.below[a] = below;
    g_memo.result[a] = result;
    return result;
  }
};

// The memo, emptied when the colours it was made for change.
void keepMemoFor(uint32_t foreground, float colourFactor) {
  if (g_memo.kept && foreground == g_memo.foreground && colourFactor == g_memo.colourFactor) return;
  memset(&g_memo, 0, sizeof g_memo);
  g_memo.foreground = foreground;
  g_memo.colourFactor = colourFactor;
  g_memo.kept = true;
}

// One row's columns [s, end): runs of partial coverage blend, runs of
// coverage 0 are passed over and runs of 255 take the foreground.
template <typename Blend>
inline void blendRow(const uint8_t* s, const uint8_t* end, uint32_t* d, uint32_t foreground, const Blend& blend) {
  uint32_t a = *s;
  for (;;) {
    if (uint8_t(a - 1) < 254) {
      do {
        *d = blend(a, *d);
        ++d;
        if (++s == end) return;
        a = *s;
      } while (uint8_t(a - 1) < 254);
    } else if (a == 0) {
      do {
        ++d;
        if (++s == end) return;
        a = *s;
      } while (a == 0);
    } else {
      do {
        *d++ = foreground;
        if (++s == end) return;
        a = *s;
      } while (a == 255);
    }
  }
}

// The rows from inkTop, each from its first to its last inked column, cut to
// columns [c0, c1) of the glyph when it reaches past the rectangle.
template <bool kClipped, typename Blend>
void blendRows(const Canvas& cv, const GlyphDataUC* g, int32_t pen, int32_t c0, int32_t c1, const Blend& blend) {
  const GlyphFacts* f = facts(g);
  int32_t rows = (f->inkBottom < cv.rows ? f->inkBottom : cv.rows) - f->inkTop;
  const InkSpan* span = spans(f);
  const uint8_t* src = g->GlyphData + size_t(f->inkTop) * g->Width;
  uint32_t* dst = cv.box + size_t(f->inkTop) * cv.stride;
  for (; rows > 0; --rows, ++span, src += g->Width, dst += cv.stride) {
    int32_t first = span->first, end = span->end;
    if (kClipped) {
      if (first < c0) first = c0;
      if (end > c1) end = c1;
    }
    if (first < end) blendRow(src + first, src + end, dst + (pen + first), cv.foreground, blend);
  }
}

template <typename Blend>
void blendGlyph(const Canvas& cv, const GlyphDataUC* g, int32_t pen, const Blend& blend) {
  if (pen >= 0 && pen + int32_t(g->Width) <= cv.stride) {
    blendRows<false>(cv, g, pen, 0, g->Width, blend);
  } else {
    int32_t c0 = pen < 0 ? -pen : 0;
    int32_t c1 = pen + int32_t(g->Width) > cv.stride ? cv.stride - pen : int32_t(g->Width);
    blendRows<true>(cv, g, pen, c0, c1, blend);
  }
}

}  // namespace

void drawGlyph(const Canvas& cv, const GlyphDataUC* g, int32_t pen) {
  if (g->GlyphData == nullptr || pen >= cv.stride || pen + int32_t(g->Width) <= 0) return;
  if (cv.solid) {
    blendGlyph(cv, g, pen, TableBlend{PackedAlphaLUT});
  } else {
    keepMemoFor(cv.foreground, cv.colourFactor);
    if (cv.colourFactor == 1.0f)
      blendGlyph(cv, g, pen, PackedOver{});
    else
      blendGlyph(cv, g, pen, ScaledOver{});
  }
}

}  // namespace fonts_internal
