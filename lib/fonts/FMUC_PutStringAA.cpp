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

// Marks take no room in the measured width, so dropping one must not narrow
// the rectangle either.
uint32_t advanceOf(const GlyphDataUC* glyph) { return FMUC_IsDiacriticalMark(glyph->Unicode) ? 0 : glyph->Width; }

// FMUC_GetStringWidth and FMUC_GetStringHeight in one walk.
void measure(const char* text, FontDataUC* font, uint32_t& width, uint32_t& height) {
  width = height = 0;
  while (*text != 0) {
    uint8_t n = 1;
    const GlyphDataUC* glyph = FMUC_GetGlyphData(font, text, &n);
    if (glyph != nullptr) {
      if (!FMUC_IsDiacriticalMark(glyph->Unicode)) width += glyph->Width;
      if (glyph->Height > height) height = glyph->Height;
    }
    text += n;
  }
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

// The rectangle being drawn into (stride pixels wide, rows high) and the
// one-entry memo of blends without a background.
struct Canvas {
  uint32_t* box;
  int32_t stride, rows;
  uint32_t foreground, alpha;
  bool solid;
  float colourFactor;
  uint8_t lastA;
  uint32_t lastBelow, lastResult;
  uint64_t spreadForeground;
};

// The first and one past the last row of a bitmap that hold any ink. Cells
// are as high as the line, and most of them is empty space above and below
// the ink, which this skips eight bytes at a time.
void inkRows(const uint8_t* bits, uint32_t width, uint32_t height, int32_t& top, int32_t& bottom) {
  size_t size = size_t(width) * height, first = 0, last = size;
  while (first + 8 <= size) {
    uint64_t w;
    memcpy(&w, bits + first, 8);
    if (w != 0) break;
    first += 8;
  }
  while (first < size && bits[first] == 0) ++first;
  while (last >= first + 8) {
    uint64_t w;
    memcpy(&w, bits + last - 8, 8);
    if (w != 0) break;
    last -= 8;
  }
  while (last > first && bits[last - 1] == 0) --last;
  if (first == last) {
    top = bottom = 0;
    return;
  }
  top = int32_t(first / width);
  bottom = int32_t((last - 1) / width) + 1;
}

// The three channels of a colour 21 bits apart, so that one multiplication
// scales all of them without one spilling into the next.
inline uint64_t spread(uint32_t c) {
  return uint64_t(c & 0xFF0000u) << 26 | uint64_t(c & 0xFF00u) << 13 | (c & 0xFFu);
}

// f over b at coverage a, channel by channel, exactly as FM_AlphaBlendRGB
// gives it with a colour factor of 1: each channel's sum stays below 2^16.
inline uint32_t blendPlain(uint32_t a, uint64_t spreadF, uint32_t b) {
  uint64_t s = (spreadF * a + spread(b) * (255 - a)) >> 8;
  return uint32_t((s >> 42) & 0xFF) << 16 | uint32_t((s >> 21) & 0xFF) << 8 | uint32_t(s & 0xFF);
}

// Blends one glyph with its left column at `pen`, clipped to the rectangle.
void drawGlyph(Canvas& cv, const GlyphDataUC* g, int32_t pen) {
  int32_t c0 = pen < 0 ? -pen : 0;
  int32_t c1 = g->Width;
  if (pen + c1 > cv.stride) c1 = cv.stride - pen;
  if (c0 >= c1 || g->GlyphData == nullptr) return;
  int32_t top, bottom;
  inkRows(g->GlyphData, g->Width, g->Height, top, bottom);
  if (bottom > cv.rows) bottom = cv.rows;
  const bool plain = cv.colourFactor == 1.0f;
  for (int32_t r = top; r < bottom; ++r) {
    const uint8_t* src = g->GlyphData + size_t(r) * g->Width;
    uint32_t* dst = cv.box + size_t(r) * cv.stride + pen;
    for (int32_t c = c0; c < c1; ++c) {
      uint32_t a = src[c];
      if (a == 0) continue;
      if (cv.solid) {
        dst[c] = fonts_internal::PackedAlphaLUT[a];
      } else if (a == 255) {
        dst[c] = cv.foreground;
      } else if (a != cv.lastA || dst[c] != cv.lastBelow) {
        cv.lastA = uint8_t(a);
        cv.lastBelow = dst[c];
        cv.lastResult = cv.alpha | (plain ? blendPlain(a, cv.spreadForeground, dst[c])
                                          : FM_AlphaBlendRGB(uint8_t(a), cv.foreground, dst[c], cv.colourFactor));
        dst[c] = cv.lastResult;
      } else {
        dst[c] = cv.lastResult;
      }
    }
  }
}

}  // namespace

void FMUC_PutStringAA(uint16_t rgn, uint32_t x, uint32_t y, uint32_t maxX, const char* text, uint32_t foreground,
                      uint32_t background, FontDataUC* font, uint8_t truncation, uint8_t align, float colourFactor) {
  if (text == nullptr || text[0] == 0 || font == nullptr || x >= maxX) return;
  uint32_t regionWidth = GetOSDRegionWidth(rgn);
  if (regionWidth != 0 && maxX >= regionWidth) maxX = regionWidth - 1;
  // The field can vanish when the region is narrower than x.
  if (x >= maxX) return;

  // The 0x00 of a 0x10 selector would hide the rest of the text from strlen.
  const char* body = SkipCharTableBytes(text);
  size_t length = static_cast<size_t>(body - text) + strlen(body);
  if (length > 0x3FFFFFF0u / 4) return;
  int hasAnsi = 0, hasUtf8 = 0;
  GetStringEncoding(text, &hasAnsi, &hasUtf8);
  bool convert = hasAnsi && !hasUtf8;
  char* copy = static_cast<char*>(TAP_MemAlloc(uint32_t(convert ? 4 * length + 20 : length + 20)));
  if (copy == nullptr) return;
  if (convert)
    StrToUTF8(text, copy, 9);
  else
    memcpy(copy, text, length + 1);  // selector, text and terminator
  MakeValidFileName(copy, 3);

  uint32_t textWidth, height;
  measure(copy, font, textWidth, height);
  uint64_t right = uint64_t(x) + textWidth;
  bool cut = right > maxX;
  if (cut) {
    if (truncation == 0) {
      cutEnd(copy, font, right, maxX);
    } else if (truncation == 1) {
      right += FMUC_GetStringWidth("... ", font);
      cutEnd(copy, font, right, maxX);
      strcat(copy, "...");
    } else if (truncation == 2) {
      right += FMUC_GetStringWidth("...", font);
      cutStart(copy, font, right, maxX);
    }
  }
  if (right > maxX) {
    TAP_MemFree(copy);
    return;
  }

  if (cut) height = FMUC_GetStringHeight(copy, font);
  uint32_t width = uint32_t(right - x);
  uint32_t start = align == 1 ? x + uint32_t((maxX - right) / 2) : align == 2 ? maxX - width : x;

  bool solid = (background >> 24) != 0;
  if (solid) {
    TAP_Osd_FillBox(rgn, x, y, maxX - x, height + 1, background);
    FM_InitAlphaLUT(foreground, background, colourFactor);
  }
  uint32_t* box = TAP_Osd_SaveBox(rgn, start, y, width + 1, height + 1);
  if (box == nullptr) {
    TAP_MemFree(copy);
    return;
  }

  Canvas canvas{box, int32_t(width + 1), int32_t(height + 1), foreground, foreground & 0xFF000000u, solid,
                colourFactor, 0, 0, 0, spread(foreground)};
  int32_t pen = 0, markCentre = 0;
  for (const char* p = copy; *p != 0;) {
    uint8_t n = 1;
    const GlyphDataUC* glyph = FMUC_GetGlyphData(font, p, &n);
    p += n;
    if (glyph == nullptr) continue;
    if (FMUC_IsDiacriticalMark(glyph->Unicode)) {
      drawGlyph(canvas, glyph, markCentre - glyph->Width / 2);
    } else {
      drawGlyph(canvas, glyph, pen);
      markCentre = pen + glyph->Width / 2;
      pen += glyph->Width;
    }
  }

  TAP_Osd_RestoreBox(rgn, start, y, width + 1, height + 1, box);
  TAP_MemFree(box);
  TAP_MemFree(copy);
}
