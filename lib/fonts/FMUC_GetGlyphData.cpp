#include <unistd.h>

#include "lib/files/files.h"
#include "lib/fonts/internal.h"
#include "lib/log/log.h"
#include "lib/text/text.h"

namespace {

using fonts_internal::GlyphFacts;
using fonts_internal::InkRun;
using fonts_internal::InkSpan;

// The runs of the ink rows and the turned-over coverage, or hasRuns left 0
// when the glyph is too big for a run's fields or has more runs than the
// room kept for them.
void computeRuns(GlyphDataUC* g, GlyphFacts* f) {
  f->hasRuns = 0;
  f->runCount = 0;
  if (!fonts_internal::mayHaveRuns(g->Width, g->Height)) return;
  InkRun* first = const_cast<InkRun*>(fonts_internal::runs(f, g->Height));
  InkRun* run = first;
  const InkRun* limit = run + fonts_internal::runBudget(g->Height) / sizeof(InkRun);
  const InkSpan* span = fonts_internal::spans(f);
  for (uint32_t r = f->inkTop; r < f->inkBottom; ++r, ++span) {
    const uint8_t* row = g->GlyphData + size_t(r) * g->Width;
    for (uint32_t c = span->first; c < span->end;) {
      if (row[c] == 0) {
        ++c;
        continue;
      }
      if (run == limit) return;
      uint32_t start = c;
      while (c < span->end && row[c] != 0) ++c;
      *run++ = InkRun{uint16_t(r * g->Width + start), uint8_t(r), uint8_t(c - start)};
    }
  }
  f->runCount = uint16_t(run - first);
  f->hasRuns = 1;
  uint8_t* turned = const_cast<uint8_t*>(fonts_internal::turnedCoverage(f, g->Height));
  for (uint32_t i = 0; i < uint32_t(g->Width) * g->Height; ++i) turned[i] = uint8_t(255 - g->GlyphData[i]);
}

// The facts of a glyph whose coverage bytes have just been read.
void computeFacts(GlyphDataUC* g) {
  GlyphFacts* f = reinterpret_cast<GlyphFacts*>(g->GlyphData + fonts_internal::factsOffset(g->Width, g->Height));
  InkSpan* span = reinterpret_cast<InkSpan*>(f + 1);
  f->mark = uint8_t(FMUC_IsDiacriticalMark(g->Unicode));
  f->inkTop = f->inkBottom = 0;
  bool inked = false;
  for (uint32_t r = 0; r < g->Height; ++r) {
    const uint8_t* row = g->GlyphData + size_t(r) * g->Width;
    uint32_t first = 0, end = g->Width;
    while (first < end && row[first] == 0) ++first;
    while (end > first && row[end - 1] == 0) --end;
    if (first == end)
      first = end = 0;
    else {
      if (!inked) f->inkTop = uint16_t(r);
      inked = true;
      f->inkBottom = uint16_t(r + 1);
    }
    span[r] = InkSpan{uint16_t(first), uint16_t(end)};
  }
  // The spans are kept from the top ink row on.
  for (uint32_t r = f->inkTop; r < f->inkBottom; ++r) span[r - f->inkTop] = span[r];
  computeRuns(g, f);
}

}  // namespace

GlyphDataUC* FMUC_GetGlyphData(FontDataUC* font, const char* text, uint8_t* byteCount) {
  if (font == nullptr || text == nullptr || text[0] == 0) return nullptr;
  uint8_t first = uint8_t(text[0]);
  if (first < 0x20 || (first >= 0x80 && first <= 0x9F)) {
    if (byteCount) *byteCount = 1;
    return nullptr;
  }
  uint8_t length = 1;
  uint32_t codePoint = first < 0x80 ? first : UTF8ToUTF32(text, &length);
  if (byteCount) *byteCount = length;

  GlyphDataUC* cache = font->GlyphCache;
  if (cache != nullptr)
    if (GlyphDataUC* hit = fonts_internal::cachedGlyph(font, codePoint)) return hit;

  const FontDefUC* def = nullptr;
  for (int32_t i = 0; font->FontDef != nullptr && i < font->FontDefCount; ++i)
    if (font->FontDef[i].Unicode == codePoint) {
      def = &font->FontDef[i];
      break;
    }
  if (def == nullptr) {
    LogEntryZindraPrintf(1, "Glyph %x not found", codePoint);
    return nullptr;
  }
  // Only a handle that a failed load left behind lacks its cache; the cache
  // is one slot per entry, so a full cache cannot happen on a sound one.
  if (cache == nullptr || font->GlyphCacheCount >= font->FontDefCount) return nullptr;

  // A bitmap that reaches past the end of the file would leave memory
  // unread: such a glyph is refused, before a block of up to 4 GB is asked
  // for, and again if the read comes up short.
  uint32_t size = uint32_t(def->Width) * def->Height;
  FileFacts file;
  if (!StatOpenFile(font->FileHandle, &file) || uint64_t(def->BitmapOffset) + size > file.size) {
    LogEntryZindraPrintf(1, "FontManager UC: failed to read %d bytes for glyph %x", int(size), codePoint);
    return nullptr;
  }

  GlyphDataUC* slot = &cache[font->GlyphCacheCount];
  slot->Unicode = codePoint;
  slot->Width = def->Width;
  slot->Height = def->Height;
  // The block holds the glyph's facts behind its coverage bytes.
  uint64_t blockBytes = fonts_internal::glyphBlockBytes(def->Width, def->Height);
  slot->GlyphData =
      blockBytes > UINT32_MAX
          ? nullptr
          : static_cast<uint8_t*>(FMUC_ReserveMemory("FMUC_GetGlyphData GlyphData", uint32_t(blockBytes)));
  if (slot->GlyphData == nullptr) {
    LogEntryZindraPrintf(1, "FontManager UC: failed to reserve %d bytes for a glyph", int(size));
    return nullptr;
  }
  if (lseek(font->FileHandle, off_t(def->BitmapOffset), SEEK_SET) != off_t(def->BitmapOffset) ||
      uint32_t(read(font->FileHandle, slot->GlyphData, size)) != size) {
    LogEntryZindraPrintf(1, "FontManager UC: failed to read %d bytes for glyph %x", int(size), codePoint);
    FMUC_FreeMemory("FMUC_GetGlyphData GlyphData", slot->GlyphData);
    slot->GlyphData = nullptr;
    return nullptr;
  }
  computeFacts(slot);
  fonts_internal::indexGlyph(font, font->GlyphCacheCount);
  ++font->GlyphCacheCount;
  return slot;
}
