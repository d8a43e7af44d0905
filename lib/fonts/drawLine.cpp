// The pixel path of FMUC_PutStringAA. Each kind of blend has a loop of its
// own, chosen once per line, so no pixel tests what is fixed for the line.
#include <cstring>

#include "lib/fonts/internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

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
// and the result is FM_AlphaBlendRGB's to the bit. Plain 32-bit arithmetic,
// as fast on the receiver's MIPS as on the PC. What depends on the
// coverage alone (255 - a, and a times the foreground's red and blue and
// its green) is looked up, worked out when the foreground changes. The
// foreground's alpha rides in the green share, above the green sum that
// never reaches bit 16, so it costs no step of its own.
struct Shares {
  uint32_t rest[256];     // 255 - a
  uint32_t redBlue[256];  // a * 0x00RR00BB of the foreground
  uint32_t green[256];    // a * GG of the foreground, and its alpha byte in place
  uint32_t foreground;
  bool kept;
};

Shares g_shares;

void keepSharesFor(uint32_t foreground) {
  if (g_shares.kept && foreground == g_shares.foreground) return;
  for (uint32_t a = 0; a < 256; ++a) {
    g_shares.rest[a] = 255 - a;
    g_shares.redBlue[a] = (foreground & 0x00FF00FFu) * a;
    g_shares.green[a] = (foreground >> 8 & 0xFFu) * a + (foreground & 0xFF000000u);
  }
  // At coverage 255 the foreground itself, as the reference writes it.
  g_shares.rest[255] = 0;
  g_shares.redBlue[255] = (foreground & 0x00FF00FFu) << 8;
  g_shares.green[255] = foreground & 0xFF00FF00u;
  g_shares.foreground = foreground;
  g_shares.kept = true;
}

struct PackedOver {
  uint32_t operator()(uint32_t a, uint32_t below) const {
    uint32_t rb = ((below & 0x00FF00FFu) * g_shares.rest[a] + g_shares.redBlue[a]) >> 8 & 0x00FF00FFu;
    uint32_t alphaGreen = ((below >> 8 & 0xFFu) * g_shares.rest[a] + g_shares.green[a]) & 0xFF00FF00u;
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

// The whole glyph inside the rectangle, from its runs: no coverage byte is
// tested, coverage 255 goes through the blend too (which gives the
// foreground there), and a run's pixel is found from its coverage byte.
template <typename Blend>
void blendRuns(const Canvas& cv, const GlyphDataUC* g, const GlyphFacts* f, int32_t pen, const Blend& blend) {
  const InkRun* run = runs(f, g->Height);
  const InkRun* end = run + f->runCount;
  const uint8_t* coverage = g->GlyphData;
  uint32_t* box = cv.box + pen;
  // Pixel of coverage byte i on row r: i + r * (stride - width).
  const intptr_t skew = cv.stride - intptr_t(g->Width);
  for (; run != end; ++run) {
    // Counted up from minus the run's length (never 0) to zero: one add and
    // one branch of loop control a pixel.
    const uint8_t* s = coverage + run->end;
    uint32_t* d = box + run->end + run->row * skew;
    intptr_t i = -intptr_t(run->count);
    do d[i] = blend(s[i], d[i]);
    while (++i != 0);
  }
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

#if defined(__SSE2__)
// On the PC, four pixels a step: each channel's (255 - a) * b + a * f in a
// 16-bit lane, the sum PackedOver makes, so the same pixels to the bit.
// Coverage 0 keeps the pixel below and 255 gives the foreground, by masks
// rather than branches. The alpha byte takes the foreground's: its lane
// blends at coverage 255 with the foreground's alpha plus 1, and
// (alpha + 1) * 255 >> 8 is the alpha itself.
struct VectorOver {
  __m128i foreground, alphaByte, fg16;
  explicit VectorOver(uint32_t fg)
      : foreground(_mm_set1_epi32(int(fg))),
        alphaByte(_mm_set1_epi32(int(0xFF000000u))),
        fg16(_mm_add_epi16(_mm_unpacklo_epi8(_mm_set1_epi32(int(fg)), _mm_setzero_si128()),
                           _mm_set_epi16(1, 0, 0, 0, 1, 0, 0, 0))) {}
};

// Four pixels of one row from coverage `a4` (one byte a pixel).
inline void blendFour(uint32_t a4, uint32_t* d, const VectorOver& v) {
  const __m128i zero = _mm_setzero_si128(), ones = _mm_set1_epi32(-1);
  __m128i below = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d));
  // Each pixel's coverage in all four of its bytes.
  __m128i a = _mm_cvtsi32_si128(int(a4));
  a = _mm_unpacklo_epi8(a, a);
  a = _mm_or_si128(_mm_unpacklo_epi16(a, a), v.alphaByte);
  __m128i rest = _mm_xor_si128(a, ones);
  __m128i lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(below, zero), _mm_unpacklo_epi8(rest, zero)),
                             _mm_mullo_epi16(v.fg16, _mm_unpacklo_epi8(a, zero)));
  __m128i hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(below, zero), _mm_unpackhi_epi8(rest, zero)),
                             _mm_mullo_epi16(v.fg16, _mm_unpackhi_epi8(a, zero)));
  __m128i out = _mm_packus_epi16(_mm_srli_epi16(lo, 8), _mm_srli_epi16(hi, 8));
  __m128i isFull = _mm_cmpeq_epi32(a, ones), isNone = _mm_cmpeq_epi32(a, v.alphaByte);
  out = _mm_or_si128(_mm_and_si128(isFull, v.foreground), _mm_andnot_si128(isFull, out));
  out = _mm_or_si128(_mm_and_si128(isNone, below), _mm_andnot_si128(isNone, out));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), out);
}

// The ink rows of a whole glyph inside the rectangle, each from its first
// inked column, for the vector steps.
struct InkRows {
  const InkSpan* span;
  const InkSpan* last;
  const uint8_t* src;
  uint32_t* dst;
  size_t width, stride;
  InkRows(const Canvas& cv, const GlyphDataUC* g, const GlyphFacts* f, int32_t pen)
      : span(spans(f)),
        last(span + (f->inkBottom - f->inkTop)),
        src(g->GlyphData + f->inkTop * g->Width),
        dst(cv.box + f->inkTop * size_t(cv.stride) + pen),
        width(g->Width),
        stride(size_t(cv.stride)) {}
  // A row's last step may reach three pixels past its ink (and read three
  // coverage bytes past it, which the glyph's block holds): those pixels
  // must lie in the rectangle's row.
  static bool fit(const Canvas& cv, const GlyphDataUC* g, int32_t pen) {
    return pen + int32_t(g->Width) + 3 <= cv.stride;
  }
  bool more() const { return span < last; }
  void next() {
    ++span;
    src += width;
    dst += stride;
  }
  const uint8_t* coverage() const { return src + span->first; }
  uint32_t* pixels() const { return dst + span->first; }
  int32_t count() const { return span->end - span->first; }
};

// The last one to four pixels of a row. The lanes past its ink are cleared:
// coverage 0 keeps those pixels, and the bytes there may be the next row's.
inline void blendLastFour(const uint8_t* s, uint32_t* d, int32_t n, const VectorOver& v) {
  static const uint32_t kLanes[4] = {0xFFFFFFFFu, 0xFFu, 0xFFFFu, 0xFFFFFFu};
  uint32_t a4;
  std::memcpy(&a4, s, 4);
  blendFour(a4 & kLanes[n & 3], d, v);
}

// A whole glyph inside the rectangle, each ink row in steps of four. False,
// with nothing drawn, when the glyph does not leave the steps room.
bool blendVector(const Canvas& cv, const GlyphDataUC* g, const GlyphFacts* f, int32_t pen, const VectorOver& v) {
  if (!InkRows::fit(cv, g, pen)) return false;
  for (InkRows row(cv, g, f, pen); row.more(); row.next()) {
    const uint8_t* s = row.coverage();
    uint32_t* d = row.pixels();
    int32_t n = row.count();
    for (; n > 4; n -= 4, s += 4, d += 4) {
      uint32_t a4;
      std::memcpy(&a4, s, 4);
      blendFour(a4, d, v);
    }
    if (n > 0) blendLastFour(s, d, n, v);
  }
  return true;
}

#if defined(__x86_64__) && defined(__GNUC__)
// Where the processor has AVX2, eight pixels a step for rows of five
// pixels or more: the same sums in twice the lanes. Each 128-bit half holds
// four pixels, as blendFour does, so its steps carry over unchanged.
#define ORVADO_WIDE_BLEND 1
__attribute__((target("avx2"))) bool blendVectorWide(const Canvas& cv, const GlyphDataUC* g, const GlyphFacts* f,
                                                     int32_t pen, const VectorOver& v) {
  if (!InkRows::fit(cv, g, pen)) return false;
  const __m256i zero = _mm256_setzero_si256(), ones = _mm256_set1_epi32(-1);
  const __m256i foreground = _mm256_broadcastsi128_si256(v.foreground),
                alphaByte = _mm256_broadcastsi128_si256(v.alphaByte), fg16 = _mm256_broadcastsi128_si256(v.fg16);
  // Coverage bytes 0-3 to the low half's pixels, 4-7 to the high half's.
  const __m256i spread =
      _mm256_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7);
  for (InkRows row(cv, g, f, pen); row.more(); row.next()) {
    const uint8_t* s = row.coverage();
    uint32_t* d = row.pixels();
    int32_t n = row.count();
    for (; n > 4; n -= 8, s += 8, d += 8) {
      uint64_t a8;
      std::memcpy(&a8, s, 8);
      if (n < 8) a8 &= ~uint64_t(0) >> (64 - 8 * n);
      __m256i below = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d));
      __m256i a = _mm256_or_si256(
          _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(_mm_cvtsi64_si128(int64_t(a8))), spread), alphaByte);
      __m256i rest = _mm256_xor_si256(a, ones);
      __m256i lo =
          _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpacklo_epi8(below, zero), _mm256_unpacklo_epi8(rest, zero)),
                           _mm256_mullo_epi16(fg16, _mm256_unpacklo_epi8(a, zero)));
      __m256i hi =
          _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpackhi_epi8(below, zero), _mm256_unpackhi_epi8(rest, zero)),
                           _mm256_mullo_epi16(fg16, _mm256_unpackhi_epi8(a, zero)));
      __m256i out = _mm256_packus_epi16(_mm256_srli_epi16(lo, 8), _mm256_srli_epi16(hi, 8));
      out = _mm256_blendv_epi8(out, foreground, _mm256_cmpeq_epi32(a, ones));
      out = _mm256_blendv_epi8(out, below, _mm256_cmpeq_epi32(a, alphaByte));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), out);
    }
    if (n > 0) blendLastFour(s, d, n, v);
  }
  return true;
}
#endif

// blendLine over the picture, with the unclipped glyphs four pixels a step.
void blendLineVector(const Canvas& cv, const PlacedGlyph* glyphs, int count) {
  const VectorOver v(cv.foreground);
#if defined(ORVADO_WIDE_BLEND)
  static const bool wide = __builtin_cpu_supports("avx2");
  auto glyphBlend = wide ? blendVectorWide : blendVector;
#else
  auto glyphBlend = blendVector;
#endif
  for (const PlacedGlyph* p = glyphs; p != glyphs + count; ++p) {
    const int32_t at = p->at, width = p->glyph->Width;
    if (at < 0 || at + width > cv.stride || p->facts->inkBottom > cv.rows || !glyphBlend(cv, p->glyph, p->facts, at, v))
      blendLine(cv, p, 1, PackedOver{});
  }
}
#endif

}  // namespace

void drawLine(const Canvas& cv, const PlacedGlyph* glyphs, int count) {
  if (cv.solid) {
    blendLine(cv, glyphs, count, TableBlend{PackedAlphaLUT});
  } else if (FactorBits(cv.colourFactor) == FactorOne) {
    keepSharesFor(cv.foreground);
#if defined(__SSE2__)
    blendLineVector(cv, glyphs, count);
#else
    blendLine(cv, glyphs, count, PackedOver{});
#endif
  } else {
    blendLine(cv, glyphs, count, ScaledOver{cv.foreground, cv.colourFactor});
  }
}

}  // namespace fonts_internal
