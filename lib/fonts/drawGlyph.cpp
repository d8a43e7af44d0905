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

// Over the picture with a colour factor of 1. Red and blue share one
// multiplication and green has one of its own: each channel's sum
// (255 - a) * b + a * f stays below 2^16, so no lane spills into the next,
// and the result is FM_AlphaBlendRGB's to the bit. Plain 32-bit arithmetic,
// as fast on the receiver's MIPS as on the PC.
inline uint32_t packedBlend(uint32_t a, uint32_t f, uint32_t below) {
  uint32_t rest = 255 - a;
  uint32_t rb = ((below & 0x00FF00FFu) * rest + (f & 0x00FF00FFu) * a) >> 8 & 0x00FF00FFu;
  uint32_t g = ((below & 0x0000FF00u) * rest + (f & 0x0000FF00u) * a) >> 8 & 0x0000FF00u;
  return (f & 0xFF000000u) | rb | g;
}

// Text over flat stretches of picture blends the same pairs again and
// again, so each coverage keeps its last pixel beneath and the blend over
// it; only a change of either is worked out. Every entry is always a true
// blend: they start out over clear black, what an empty region holds.
struct Memo {
  uint32_t below[256];
  uint32_t result[256];
  uint32_t foreground;
  bool kept;
};

Memo g_memo;

void keepMemoFor(uint32_t foreground) {
  if (g_memo.kept && foreground == g_memo.foreground) return;
  for (uint32_t a = 1; a < 255; ++a) {
    g_memo.below[a] = 0;
    g_memo.result[a] = packedBlend(a, foreground, 0);
  }
  g_memo.foreground = foreground;
  g_memo.kept = true;
}

// Out of line: the loop that meets a change keeps its values in registers.
__attribute__((noinline)) uint32_t blendAndKeep(uint32_t a, uint32_t below) {
  g_memo.below[a] = below;
  return g_memo.result[a] = packedBlend(a, g_memo.foreground, below);
}

struct PackedOver {
  uint32_t operator()(uint32_t a, uint32_t below) const {
    return g_memo.below[a] == below ? g_memo.result[a] : blendAndKeep(a, below);
  }
};

// Any other colour factor: channel by channel.
struct ScaledOver {
  uint32_t foreground;
  float colourFactor;
  uint32_t operator()(uint32_t a, uint32_t below) const {
    return (foreground & 0xFF000000u) | FM_AlphaBlendRGB(uint8_t(a), foreground, below, colourFactor);
  }
};

// One row's columns [s, end): runs of partial coverage blend, runs of
// coverage 0 are passed over and runs of 255 take the foreground.
template <typename Blend>
inline void blendRow(const uint8_t* s, const uint8_t* end, uint32_t* d, uint32_t foreground, const Blend& blend) {
  uint32_t a = *s;
  for (;;) {
    if (a - 1 < 254) {
      do {
        *d = blend(a, *d);
        ++d;
        if (++s == end) return;
        a = *s;
      } while (a - 1 < 254);
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
  const size_t width = g->Width, stride = size_t(cv.stride);
  const uint32_t foreground = cv.foreground;
  const InkSpan* span = spans(f);
  const InkSpan* last = span + ((f->inkBottom < cv.rows ? f->inkBottom : cv.rows) - f->inkTop);
  const uint8_t* src = g->GlyphData + f->inkTop * width;
  // A clipped glyph may start left of the rectangle: its columns are
  // counted from the rectangle's edge instead.
  uint32_t* dst = cv.box + f->inkTop * stride + (kClipped ? 0 : pen);
  for (; span < last; ++span, src += width, dst += stride) {
    int32_t first = span->first, end = span->end;
    if (kClipped) {
      if (first < c0) first = c0;
      if (end > c1) end = c1;
    }
    if (first < end) blendRow(src + first, src + end, dst + (kClipped ? pen + first : first), foreground, blend);
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
    if (cv.colourFactor == 1.0f) {
      keepMemoFor(cv.foreground);
      blendGlyph(cv, g, pen, PackedOver{});
    } else {
      blendGlyph(cv, g, pen, ScaledOver{cv.foreground, cv.colourFactor});
    }
  }
}

}  // namespace fonts_internal
