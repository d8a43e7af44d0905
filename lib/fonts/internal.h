// Shared by the files of lib/fonts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lib/fonts/fonts.h"

namespace fonts_internal {

constexpr const char* kFontFolder = "/mnt/hd/ProgramFiles/Settings/Fonts/";

// AlphaLUT packed as whole pixels with the foreground's alpha byte, entry 255
// being the foreground itself; FM_InitAlphaLUT fills it with AlphaLUT.
extern uint32_t PackedAlphaLUT[256];

// The program name of the TAP's header, or "" where none is linked in (the
// unit tests link the library without the TAP's registration).
const char* programName();

// ---- glyph index ------------------------------------------------------------
// The cache block holds the N slots and, behind them, an open-addressing
// table from code point to slot: its mask (entries - 1), then 2^k entries
// (2^k >= 2N) of slot + 1, 0 for empty. A slot never moves, so an entry
// never goes stale.

// Entries of the index of a font with `count` FontDef entries (0 for none).
inline uint32_t indexEntries(int32_t count) {
  if (count <= 0) return 0;
  if (count > (1 << 28)) return 1u << 30;  // far beyond any loadable font
  return count == 1 ? 2u : 2u << (32 - __builtin_clz(uint32_t(count - 1)));
}

// Bytes of the cache block: the slots, the mask and the index.
inline uint64_t cacheBlockBytes(int32_t count) {
  return uint64_t(count) * sizeof(GlyphDataUC) + (1 + uint64_t(indexEntries(count))) * sizeof(uint32_t);
}

// The index of a loaded font: the mask, then the entries.
inline uint32_t* glyphIndex(const FontDataUC* font) {
  return reinterpret_cast<uint32_t*>(font->GlyphCache + font->FontDefCount);
}

// An empty index for a cache block that has just been reserved.
inline void clearIndex(FontDataUC* font) {
  uint32_t* index = glyphIndex(font);
  uint32_t entries = indexEntries(font->FontDefCount);
  index[0] = entries - 1;
  for (uint32_t i = 1; i <= entries; ++i) index[i] = 0;
}

inline uint32_t indexHash(uint32_t codePoint) {
  uint32_t h = codePoint * 2654435761u;
  return h ^ (h >> 15);
}

// The index of a font, read once for a whole line of look-ups; empty (every
// look-up misses) while the font has nothing cached.
struct CachedGlyphs {
  GlyphDataUC* slots = nullptr;
  const uint32_t* entries = nullptr;  // the index's entries, behind its mask
  uint32_t mask = 0;

  explicit CachedGlyphs(const FontDataUC* font) {
    if (font->GlyphCache == nullptr || font->GlyphCacheCount <= 0) return;
    slots = font->GlyphCache;
    entries = glyphIndex(font) + 1;
    mask = entries[-1];
  }

  // The cached glyph of codePoint, or null when it is not cached yet.
  GlyphDataUC* find(uint32_t codePoint) const {
    if (entries == nullptr) return nullptr;
    for (uint32_t i = indexHash(codePoint) & mask;; i = (i + 1) & mask) {
      uint32_t slot = entries[i];
      if (slot == 0) return nullptr;
      if (slots[slot - 1].Unicode == codePoint) return &slots[slot - 1];
    }
  }
};

// The cached glyph of codePoint, or null when it is not cached yet.
inline GlyphDataUC* cachedGlyph(const FontDataUC* font, uint32_t codePoint) {
  return CachedGlyphs(font).find(codePoint);
}

// FMUC_GetGlyphData for the character at `text` (not empty), with the
// common cases, a cached character of one or two bytes, done in line.
inline GlyphDataUC* glyphAt(FontDataUC* font, const char* text, uint8_t* byteCount) {
  uint8_t c = uint8_t(text[0]);
  if (font->GlyphCache != nullptr) {
    if (c >= 0x20 && c < 0x80) {
      *byteCount = 1;
      if (GlyphDataUC* g = cachedGlyph(font, c)) return g;
    } else if (c >= 0xC0 && c < 0xE0 && (uint8_t(text[1]) & 0xC0) == 0x80) {
      *byteCount = 2;
      if (GlyphDataUC* g = cachedGlyph(font, uint32_t(c & 0x1F) << 6 | (uint8_t(text[1]) & 0x3F))) return g;
    }
  }
  return FMUC_GetGlyphData(font, text, byteCount);
}

// Enters cache slot `slot` into the index.
inline void indexGlyph(FontDataUC* font, int32_t slot) {
  uint32_t* index = glyphIndex(font);
  uint32_t mask = index[0];
  uint32_t i = indexHash(font->GlyphCache[slot].Unicode) & mask;
  while (index[1 + i] != 0) i = (i + 1) & mask;
  index[1 + i] = uint32_t(slot) + 1;
}

// ---- glyph facts --------------------------------------------------------------
// Worked out once, when the bitmap is read, and kept in the bitmap's block
// behind the coverage bytes: which rows hold ink, and where on each row it
// starts and ends, so drawing visits only inked columns.

struct InkSpan {
  uint16_t first;  // first inked column
  uint16_t end;    // one past the last; first == end for an empty row
};

// A stretch of inked pixels (coverage 1 to 255) of one row: the `count`
// pixels from coverage byte `start` (row * width + column) on row `row`.
// The runs of a glyph go top to bottom, left to right. With them the
// unclipped path tests no coverage byte and keeps no row loop.
struct InkRun {
  uint16_t start;
  uint8_t row, count;
};

struct GlyphFacts {
  uint16_t inkTop, inkBottom;  // rows inkTop up to (not including) inkBottom hold ink
  uint8_t mark;                // 1 for a combining mark
  uint8_t hasRuns;             // 1 when the runs of the ink rows follow the spans
  uint16_t runCount;
  // followed by one InkSpan per row from inkTop to inkBottom (room for one
  // per row of the glyph), then the InkRuns when hasRuns is set, then the
  // turned-over coverage
};
static_assert(sizeof(GlyphFacts) == 8 && sizeof(InkSpan) == 4 && sizeof(InkRun) == 4, "facts stay packed and aligned");

inline size_t factsOffset(uint32_t width, uint32_t height) { return (size_t(width) * height + 3) & ~size_t(3); }

// Room kept for the runs: a small glyph (the only kind with runs) rarely
// has more than two per row; one with more is drawn from its spans.
inline uint64_t runBudget(uint32_t height) { return uint64_t(height) * 3 * sizeof(InkRun); }

// A glyph small enough for a run's fields.
inline bool mayHaveRuns(uint32_t width, uint32_t height) {
  return width <= 255 && height <= 255 && width * height <= 65535;
}

// Bytes of a glyph's block: coverage, then the facts with a span per row,
// then the runs and, for a glyph small enough for runs, its coverage turned
// over (255 - coverage), by which the blend over a picture looks up.
inline uint64_t glyphBlockBytes(uint32_t width, uint32_t height) {
  return factsOffset(width, height) + sizeof(GlyphFacts) + uint64_t(height) * sizeof(InkSpan) + runBudget(height) +
         (mayHaveRuns(width, height) ? uint64_t(width) * height : 0);
}

inline const GlyphFacts* facts(const GlyphDataUC* g) {
  return reinterpret_cast<const GlyphFacts*>(g->GlyphData + factsOffset(g->Width, g->Height));
}

inline const InkSpan* spans(const GlyphFacts* f) { return reinterpret_cast<const InkSpan*>(f + 1); }

inline const InkRun* runs(const GlyphFacts* f, uint32_t height) {
  return reinterpret_cast<const InkRun*>(spans(f) + height);
}

// The turned-over coverage of a glyph with runs, byte for byte as its coverage.
inline const uint8_t* turnedCoverage(const GlyphFacts* f, uint32_t height) {
  return reinterpret_cast<const uint8_t*>(runs(f, height)) + runBudget(height);
}

// ---- drawing --------------------------------------------------------------------

// The bits of a colour factor. The library compares and scales factors on
// their bits, never with floating-point arithmetic, which the receiver's
// processor may not have.
inline uint32_t FactorBits(float factor) {
  uint32_t bits;
  memcpy(&bits, &factor, sizeof bits);
  return bits;
}
constexpr uint32_t FactorOne = 0x3F800000u;  // 1.0f: colours as they are

// The rectangle read back from the region, and how to blend into it.
struct Canvas {
  uint32_t* box;
  int32_t stride, rows;
  uint32_t foreground;  // taken as it is at coverage 255
  bool solid;           // blend through PackedAlphaLUT
  float colourFactor;
};

// A glyph of a measured line that has ink, with its facts and its left
// edge in the rectangle, worked out while measuring so that drawing looks
// nothing up again. A combining mark sits centred over the glyph before it,
// so it may reach left of the rectangle.
struct PlacedGlyph {
  const GlyphDataUC* glyph;
  const GlyphFacts* facts;
  int32_t at;
};

// Blends the `count` placed glyphs of a measured line into the canvas;
// pixels outside the rectangle are not written.
void drawLine(const Canvas& canvas, const PlacedGlyph* glyphs, int count);

}  // namespace fonts_internal
