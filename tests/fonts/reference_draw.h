// A plain rendering of one line, step by step as the drawing procedure is
// described, pixel by pixel through FM_AlphaBlendRGB: the oracle that the
// fast drawing path (glyph index, ink spans, runs, packed blends, no copy of
// clean text) is compared with. Truncation is left out: it covers lines that
// fit, and draws nothing for lines that do not, as truncation mode 3 does.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "lib/fonts/fonts.h"
#include "lib/text/text.h"
#include "platform/tap.h"

namespace fonts_test {

// The pixels of a `width` x `height` region after FMUC_PutStringAA(rgn, x,
// y, maxX, text, fg, bg, font, 3, align, factor) over `pixels`.
inline std::vector<uint32_t> referenceDraw(std::vector<uint32_t> pixels, uint32_t width, uint32_t height, uint32_t x,
                                           uint32_t y, uint32_t maxX, const char* text, uint32_t fg, uint32_t bg,
                                           FontDataUC* font, uint8_t align, float factor) {
  if (text == nullptr || text[0] == 0 || font == nullptr || x >= maxX) return pixels;
  if (maxX >= width) maxX = width - 1;
  if (x >= maxX) return pixels;

  // The working copy: converted when it is 8-bit text only, then filtered.
  const char* body = SkipCharTableBytes(text);
  size_t length = size_t(body - text) + strlen(body);
  int hasAnsi = 0, hasUtf8 = 0;
  GetStringEncoding(text, &hasAnsi, &hasUtf8);
  std::string copy(4 * length + 20, '\0');
  if (hasAnsi && !hasUtf8)
    StrToUTF8(text, copy.data(), 9);
  else
    memcpy(copy.data(), text, length + 1);
  MakeValidFileName(copy.data(), 3);

  uint64_t right = uint64_t(x) + FMUC_GetStringWidth(copy.c_str(), font);
  if (right > maxX) return pixels;
  uint32_t h = FMUC_GetStringHeight(copy.c_str(), font);
  uint32_t w = uint32_t(right - x);
  uint32_t start = align == 1 ? x + uint32_t((maxX - right) / 2) : align == 2 ? maxX - w : x;
  bool solid = (bg >> 24) != 0;
  if (solid)
    for (uint32_t r = y; r <= y + h && r < height; ++r)
      for (uint32_t c = x; c < maxX; ++c) pixels[size_t(r) * width + c] = bg;
  if (y + h + 1 > height) return pixels;  // the rectangle cannot be read back

  // Each glyph pixel by pixel, clipped to the rectangle of w + 1 by h + 1.
  int32_t pen = 0, markCentre = 0;
  for (const char* p = copy.c_str(); *p;) {
    uint8_t n = 1;
    const GlyphDataUC* g = FMUC_GetGlyphData(font, p, &n);
    p += n;
    if (g == nullptr) continue;
    bool mark = FMUC_IsDiacriticalMark(g->Unicode);
    int32_t left = mark ? markCentre - g->Width / 2 : pen;
    for (int32_t r = 0; r < g->Height && r <= int32_t(h); ++r)
      for (int32_t c = 0; c < g->Width; ++c) {
        if (left + c < 0 || left + c > int32_t(w)) continue;
        uint32_t a = g->GlyphData[size_t(r) * g->Width + c];
        uint32_t& px = pixels[size_t(y + r) * width + start + uint32_t(left + c)];
        if (a == 0) continue;
        if (a == 255)
          px = fg;
        else
          px = (fg & 0xFF000000u) | FM_AlphaBlendRGB(uint8_t(a), fg, solid ? bg : px, factor);
      }
    if (!mark) {
      markCentre = pen + g->Width / 2;
      pen += g->Width;
    }
  }
  return pixels;
}

}  // namespace fonts_test
