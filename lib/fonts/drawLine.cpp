// The pixel path of FMUC_PutStringAA. Each kind of blend has a loop of its
// own, chosen once per line, so no pixel tests what is fixed for the line.
// Plain 32-bit integer code: the receiver's MIPS runs it, and the PC build
// of the TAP runs the same path in the emulator.
#include "lib/fonts/internal.h"

namespace fonts_internal {
namespace {

// A solid background: every partial coverage has its pixel in the table.
struct TableBlend {
  const uint32_t* table;
  uint32_t operator()(uint32_t a, uint32_t) const { return table[a]; }  // table[255] is the foreground
};

// Over the picture with a colour factor of 1. Red and blue share one
// multiplication and green has one of its own: each channel's sum
// (255 - a) * b + a * f stays below 2^16, so no lane spills into the next,
// and the result is FM_AlphaBlendRGB's to the bit. What depends on the
// coverage alone (a times the foreground's red and blue, and its green) is
// looked up, side by side so that one index finds both, worked out when the
// foreground changes. The foreground's alpha rides in the green share,
// above the green sum that never reaches bit 16, so it costs no step of its
// own. The shares go by 255 - a, which the runs read from the glyph's
// turned-over coverage, so a run's pixel needs no subtraction. On the
// receiver's MIPS a pixel takes about 19 instructions.
struct Share {
  uint32_t redBlue;  // a * 0x00RR00BB of the foreground
  uint32_t green;    // a * GG of the foreground, and its alpha byte in place
};

struct Shares {
  Share of[256];  // by 255 - a
  uint32_t foreground;
  bool kept;
};

Shares g_shares;

void keepSharesFor(uint32_t foreground) {
  if (g_shares.kept && foreground == g_shares.foreground) return;
  for (uint32_t a = 0; a < 256; ++a) {
    g_shares.of[255 - a].redBlue = (foreground & 0x00FF00FFu) * a;
    g_shares.of[255 - a].green = (foreground >> 8 & 0xFFu) * a + (foreground & 0xFF000000u);
  }
  // At coverage 255 (where 255 - a is 0) the foreground itself, as the
  // reference writes it.
  g_shares.of[0].redBlue = (foreground & 0x00FF00FFu) << 8;
  g_shares.of[0].green = foreground & 0xFF00FF00u;
  g_shares.foreground = foreground;
  g_shares.kept = true;
}

struct PackedOver {
  uint32_t operator()(uint32_t a, uint32_t below) const { return byRest(255 - a, below); }
  // A run's pixel, by its turned-over coverage.
  uint32_t byRest(uint32_t rest, uint32_t below) const {
    const Share& share = g_shares.of[rest];
    uint32_t rb = ((below & 0x00FF00FFu) * rest + share.redBlue) >> 8 & 0x00FF00FFu;
    uint32_t alphaGreen = ((below >> 8 & 0xFFu) * rest + share.green) & 0xFF00FF00u;
    return alphaGreen | rb;
  }
};

// Any other colour factor: channel by channel.
struct ScaledOver {
  uint32_t foreground;
  float colourFactor;
  uint32_t operator()(uint32_t a, uint32_t below) const {
    if (a == 255) return foreground;
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
void blendRows(const Canvas& cv, const GlyphDataUC* g, const GlyphFacts* f, int32_t pen, int32_t c0, int32_t c1,
               const Blend& blend) {
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

// A blend that has byRest reads the glyph's turned-over coverage.
template <typename Blend>
constexpr bool kByRest = requires(const Blend& b) {
  b.byRest(0u, 0u);
};

template <typename Blend>
inline uint32_t runPixel(const Blend& blend, uint32_t coverage, uint32_t below) {
  if constexpr (kByRest<Blend>)
    return blend.byRest(coverage, below);
  else
    return blend(coverage, below);
}

// The whole glyph inside the rectangle, from its runs: no coverage byte is
// tested, coverage 255 goes through the blend too (which gives the
// foreground there), and a run's pixel is found from its coverage byte, or
// from its turned-over coverage for a blend that goes by that.
template <typename Blend>
void blendRuns(const Canvas& cv, const GlyphDataUC* g, const GlyphFacts* f, int32_t pen, const Blend& blend) {
  const InkRun* run = runs(f, g->Height);
  const InkRun* end = run + f->runCount;
  const uint8_t* coverage = kByRest<Blend> ? turnedCoverage(f, g->Height) : g->GlyphData;
  uint32_t* box = cv.box + pen;
  // Pixel of coverage byte i on row r: i + r * (stride - width).
  const intptr_t skew = cv.stride - intptr_t(g->Width);
  // Every placed glyph has ink, so at least one run.
  do {
    const uint32_t start = run->start, count = run->count;
    const uint8_t* s = coverage + start;
    uint32_t* d = box + start + run->row * skew;
    // Two pixels a turn, the odd one first: half the loop control.
    if (count & 1) {
      *d = runPixel(blend, *s, *d);
      ++d;
      ++s;
    }
    for (uint32_t pairs = count >> 1; pairs != 0; --pairs, s += 2, d += 2) {
      d[0] = runPixel(blend, s[0], d[0]);
      d[1] = runPixel(blend, s[1], d[1]);
    }
  } while (++run != end);
}

// The placed glyphs in order, each cut to the rectangle where it reaches
// past it.
template <typename Blend>
void blendLine(const Canvas& cv, const PlacedGlyph* glyphs, int count, const Blend& blend) {
  for (const PlacedGlyph* p = glyphs; p != glyphs + count; ++p) {
    const GlyphDataUC* g = p->glyph;
    const GlyphFacts* f = p->facts;
    const int32_t at = p->at, width = g->Width;
    if (at >= 0 && at + width <= cv.stride) {
      if (f->hasRuns && f->inkBottom <= cv.rows)
        blendRuns(cv, g, f, at, blend);
      else
        blendRows<false>(cv, g, f, at, 0, width, blend);
    } else if (at < cv.stride && at + width > 0) {
      int32_t c0 = at < 0 ? -at : 0;
      int32_t c1 = at + width > cv.stride ? cv.stride - at : width;
      blendRows<true>(cv, g, f, at, c0, c1, blend);
    }
  }
}

}  // namespace

void drawLine(const Canvas& cv, const PlacedGlyph* glyphs, int count) {
  if (cv.solid) {
    blendLine(cv, glyphs, count, TableBlend{PackedAlphaLUT});
  } else if (FactorBits(cv.colourFactor) == FactorOne) {
    keepSharesFor(cv.foreground);
    blendLine(cv, glyphs, count, PackedOver{});
  } else {
    blendLine(cv, glyphs, count, ScaledOver{cv.foreground, cv.colourFactor});
  }
}

}  // namespace fonts_internal
