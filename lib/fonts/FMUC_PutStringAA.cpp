#include <cstring>

#include "lib/fonts/internal.h"
#include "lib/screen/screen.h"
#include "lib/text/text.h"
#include "platform/tap.h"

namespace {

bool isContinuation(char c) { return (uint8_t(c) & 0xC0) == 0x80; }

// Start of the character before p, never before `start` (a mixed text may
// open with a byte that looks like a continuation byte).
char* previousChar(char* start, char* p) {
  if (p <= start) return start;
  --p;
  while (p > start && isContinuation(*p)) --p;
  return p;
}

using fonts_internal::facts;

// Marks take no room in the measured width, so dropping one must not narrow
// the rectangle either.
uint32_t advanceOf(const GlyphDataUC* glyph) { return facts(glyph)->mark ? 0 : glyph->Width; }

// The filter lets at most 129 bytes through and an ellipsis adds 3, so a
// line never has more glyphs than this.
constexpr int kMaxGlyphs = 160;

// A measured line: its glyphs with ink, found and placed once and drawn
// from here.
struct Line {
  fonts_internal::PlacedGlyph glyphs[kMaxGlyphs];
  int count;
  uint32_t width, height;  // width without the marks; height with them
};

// Measuring in progress, kept apart from the line so that it can live in
// registers.
struct Pen {
  fonts_internal::PlacedGlyph *next, *limit;
  uint32_t width = 0, height = 0;
  int32_t markCentre = 0;  // where the next mark goes: the middle of the last glyph

  explicit Pen(Line& line) : next(line.glyphs), limit(line.glyphs + kMaxGlyphs) {}

  // Adds the next glyph: a mark centred over the glyph before it, any other
  // glyph at the pen, which it then moves on by its width.
  void place(const GlyphDataUC* glyph) {
    const fonts_internal::GlyphFacts* f = facts(glyph);
    int32_t at = int32_t(width);
    if (f->mark) {
      at = markCentre - glyph->Width / 2;
    } else {
      markCentre = at + glyph->Width / 2;
      width += glyph->Width;
    }
    if (glyph->Height > height) height = glyph->Height;
    if (f->inkBottom > f->inkTop && next != limit) *next++ = {glyph, f, at};
  }

  void finish(Line& line) const {
    line.count = int(next - line.glyphs);
    line.width = width;
    line.height = height;
  }
};

void measure(const char* text, FontDataUC* font, Line& line) {
  Pen pen(line);
  while (*text != 0) {
    uint8_t n = 1;
    const GlyphDataUC* glyph = fonts_internal::glyphAt(font, text, &n);
    text += n;
    if (glyph != nullptr) pen.place(glyph);
  }
  pen.finish(line);
}

// Longest clean text: the filter lets no more through unchanged.
constexpr size_t kMaxClean = 126;

// True when conversion and filtering would hand the text back unchanged:
// printable ASCII and whole UTF-8 sequences only (so it is not read as 8-bit
// text), no selector, and no more bytes than the filter lets through.
// `length` receives its length then.
bool isClean(const char* text, size_t& length) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
  while (*p != 0) {
    if (*p < 0x80) {
      if (*p < 0x20 || *p == 0x7F) return false;
      ++p;
    } else if (*p >= 0xC0 && *p < 0xE0 && (p[1] & 0xC0) == 0x80) {
      p += 2;  // a whole two-byte sequence, the common case, in line
    } else {
      uint8_t n = 1;
      UTF8ToUTF32(reinterpret_cast<const char*>(p), &n);
      if (n == 1) return false;
      p += n;
    }
  }
  length = size_t(p - reinterpret_cast<const uint8_t*>(text));
  return length <= kMaxClean;
}

// Measures clean text (see isClean) where it is, in the same pass that
// finds it clean, and gives `length`; false when the text needs the working
// copy. Cached characters of one or two bytes are taken in line; before the
// first other one the rest of the text is checked, so a text that needs the
// copy has loaded no glyph and logged nothing here.
bool measureClean(const char* text, FontDataUC* font, Line& line, size_t& length) {
  Pen pen(line);
  const fonts_internal::CachedGlyphs cache(font);
  bool restClean = false;
  const char* p = text;
  while (uint8_t c = uint8_t(*p)) {
    const GlyphDataUC* glyph = nullptr;
    uint8_t n = 1;
    if (c >= 0x20 && c < 0x7F) {
      glyph = cache.find(c);
    } else if (c >= 0xC0 && c < 0xE0 && (uint8_t(p[1]) & 0xC0) == 0x80) {
      n = 2;
      glyph = cache.find(uint32_t(c & 0x1F) << 6 | (uint8_t(p[1]) & 0x3F));
    }
    if (glyph == nullptr) {
      size_t rest = 0;
      if (!restClean && (!isClean(p, rest) || size_t(p - text) + rest > kMaxClean)) return false;
      restClean = true;
      n = 1;
      glyph = FMUC_GetGlyphData(font, p, &n);
    }
    p += n;
    if (glyph != nullptr) pen.place(glyph);
  }
  pen.finish(line);
  length = size_t(p - text);
  return length <= kMaxClean;
}

// The working copy as conversion and filtering make it, or null when it
// cannot be had.
char* workingCopy(const char* text) {
  // The 0x00 of a 0x10 selector would hide the rest of the text from strlen.
  const char* body = SkipCharTableBytes(text);
  size_t length = static_cast<size_t>(body - text) + strlen(body);
  if (length > 0x3FFFFFF0u / 4) return nullptr;
  int hasAnsi = 0, hasUtf8 = 0;
  GetStringEncoding(text, &hasAnsi, &hasUtf8);
  bool convert = hasAnsi && !hasUtf8;
  char* copy = static_cast<char*>(TAP_MemAlloc(uint32_t(convert ? 4 * length + 20 : length + 20)));
  if (copy == nullptr) return nullptr;
  if (convert)
    StrToUTF8(text, copy, 9);
  else
    memcpy(copy, text, length + 1);  // selector, text and terminator
  MakeValidFileName(copy, 3);
  return copy;
}

// Modes 0 and 1: drop characters from the end, never the first one.
void cutEnd(char* copy, FontDataUC* font, uint64_t& right, uint32_t maxX) {
  size_t budget = strlen(copy);
  if (budget == 0) return;
  char* cur = previousChar(copy, copy + budget);
  uint32_t lastWidth = 0;
  for (;;) {
    if (const GlyphDataUC* glyph = FMUC_GetGlyphData(font, cur, nullptr)) {
      lastWidth = glyph->Width;
      *cur = 0;
      right -= advanceOf(glyph);
    }
    cur = previousChar(copy, cur);
    --budget;
    if (right <= maxX) return;
    if (lastWidth == 0 || budget == 0 || cur == copy) return;
  }
}

// Mode 2: drop characters from the start and put "..." in front. Steps by
// the glyph look-up's byte count, the same character split that DeleteAt
// uses, so the width taken off is that of the characters removed.
void cutStart(char* copy, FontDataUC* font, uint64_t& right, uint32_t maxX) {
  size_t budget = strlen(copy);
  uint32_t lastWidth = 0;
  int passed = 0;
  char* cur = copy;
  while (*cur != 0) {
    uint8_t n = 1;
    if (const GlyphDataUC* glyph = FMUC_GetGlyphData(font, cur, &n)) {
      lastWidth = glyph->Width;
      right -= advanceOf(glyph);
    }
    cur += n;
    ++passed;
    --budget;
    if (right <= maxX || lastWidth == 0 || budget == 0) break;
  }
  DeleteAt(copy, 0, passed);
  InsertAt(copy, 0, "...");
}

}  // namespace

void FMUC_PutStringAA(uint16_t rgn, uint32_t x, uint32_t y, uint32_t maxX, const char* text, uint32_t foreground,
                      uint32_t background, FontDataUC* font, uint8_t truncation, uint8_t align, float colourFactor) {
  if (text == nullptr || text[0] == 0 || font == nullptr || x >= maxX) return;
  uint32_t regionWidth = GetOSDRegionWidth(rgn);
  if (regionWidth != 0 && maxX >= regionWidth) maxX = regionWidth - 1;
  // The field can vanish when the region is narrower than x.
  if (x >= maxX) return;

  // Clean text is measured and drawn where it is; a copy is made only for
  // text that needs converting or filtering, or cutting.
  size_t length = 0;
  char* copy = nullptr;
  Line line;
  if (!measureClean(text, font, line, length)) {
    copy = workingCopy(text);
    if (copy == nullptr) return;
    measure(copy, font, line);
  }
  uint64_t right = uint64_t(x) + line.width;
  if (right > maxX && truncation <= 2) {
    if (copy == nullptr) {
      copy = static_cast<char*>(TAP_MemAlloc(uint32_t(length + 20)));
      if (copy == nullptr) return;
      memcpy(copy, text, length + 1);
    }
    if (truncation == 0) {
      cutEnd(copy, font, right, maxX);
    } else if (truncation == 1) {
      right += FMUC_GetStringWidth("... ", font);
      cutEnd(copy, font, right, maxX);
      strcat(copy, "...");
    } else {
      right += FMUC_GetStringWidth("...", font);
      cutStart(copy, font, right, maxX);
    }
    measure(copy, font, line);
  }
  if (right > maxX) {
    if (copy) TAP_MemFree(copy);
    return;
  }

  uint32_t height = line.height;
  uint32_t width = uint32_t(right - x);
  uint32_t start = align == 1 ? x + uint32_t((maxX - right) / 2) : align == 2 ? maxX - width : x;

  bool solid = (background >> 24) != 0;
  if (solid) {
    TAP_Osd_FillBox(rgn, x, y, maxX - x, height + 1, background);
    FM_InitAlphaLUT(foreground, background, colourFactor);
  }
  uint32_t* box = TAP_Osd_SaveBox(rgn, start, y, width + 1, height + 1);
  if (box == nullptr) {
    if (copy) TAP_MemFree(copy);
    return;
  }

  fonts_internal::Canvas canvas{box, int32_t(width + 1), int32_t(height + 1), foreground, solid, colourFactor};
  fonts_internal::drawLine(canvas, line.glyphs, line.count);

  TAP_Osd_RestoreBox(rgn, start, y, width + 1, height + 1, box);
  TAP_MemFree(box);
  if (copy) TAP_MemFree(copy);
}
