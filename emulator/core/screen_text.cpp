// TAP_Osd_PutS and TAP_Osd_GetW: the receiver's built-in font, rasterised by
// FreeType from the font file named at build time (ORVADO_OSD_FONT).
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "core/screen_internal.h"

#ifndef ORVADO_OSD_FONT
#error "ORVADO_OSD_FONT must name the TrueType file of the built-in font"
#endif

namespace emu::detail {
namespace {

constexpr int kFail = -1;
constexpr uint32_t kLineHeights[3] = {19, 22, 26};

struct Glyph {
  int advance = 0;  // pixels
  int left = 0;     // bitmap's left edge from the pen
  int top = 0;      // bitmap's top row above the baseline
  int width = 0, rows = 0;
  std::vector<uint8_t> coverage;  // width * rows
};

struct FontSize {
  int pixels = 0;    // FreeType pixel size
  int baseline = 0;  // from the top of the line
  std::unordered_map<char32_t, Glyph> glyphs;
};

// The face stays open for the life of the process, as the receiver's font
// would sit in its firmware.
struct Font {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  FontSize sizes[3];
  bool ok = false;
};

void chooseSize(FT_Face face, uint32_t lineHeight, FontSize& size) {
  // The largest pixel size whose ascender and descender fit the line.
  for (int px = static_cast<int>(lineHeight); px >= 4; --px) {
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(px)) != 0) continue;
    int asc = static_cast<int>((face->size->metrics.ascender + 63) >> 6);
    int desc = static_cast<int>((-face->size->metrics.descender + 63) >> 6);
    if (asc + desc <= static_cast<int>(lineHeight)) {
      size.pixels = px;
      size.baseline = (static_cast<int>(lineHeight) - asc - desc) / 2 + asc;
      return;
    }
  }
  size.pixels = 4;
  size.baseline = static_cast<int>(lineHeight) - 1;
}

Font& font() {
  static Font shared = [] {
    OutsideTapRoot pc;  // first drawn inside a TAP call; the font is the PC's
    Font f;
    FT_Error e = FT_Init_FreeType(&f.library);
    if (e == 0) e = FT_New_Face(f.library, ORVADO_OSD_FONT, 0, &f.face);
    if (e != 0) {
      std::fprintf(stderr, "orvado-emu: cannot open the on-screen font %s (FreeType error %d); text is not drawn\n",
                   ORVADO_OSD_FONT, e);
      return f;
    }
    for (int i = 0; i < 3; ++i) chooseSize(f.face, kLineHeights[i], f.sizes[i]);
    f.ok = true;
    return f;
  }();
  return shared;
}

int sizeIndex(uint8_t fntSize) { return fntSize > 2 ? 2 : fntSize; }

const Glyph& glyph(int sizeIdx, char32_t cp) {
  Font& f = font();
  FontSize& size = f.sizes[sizeIdx];
  auto it = size.glyphs.find(cp);
  if (it != size.glyphs.end()) return it->second;
  Glyph g;
  if (FT_Set_Pixel_Sizes(f.face, 0, static_cast<FT_UInt>(size.pixels)) == 0 &&
      FT_Load_Char(f.face, cp, FT_LOAD_RENDER | FT_LOAD_TARGET_NORMAL) == 0) {
    FT_GlyphSlot slot = f.face->glyph;
    const FT_Bitmap& bm = slot->bitmap;
    g.advance = static_cast<int>((slot->advance.x + 32) >> 6);
    g.left = slot->bitmap_left;
    g.top = slot->bitmap_top;
    if (bm.pixel_mode == FT_PIXEL_MODE_GRAY && bm.buffer) {
      g.width = static_cast<int>(bm.width);
      g.rows = static_cast<int>(bm.rows);
      g.coverage.resize(static_cast<size_t>(g.width) * g.rows);
      for (int r = 0; r < g.rows; ++r) {
        const uint8_t* row = bm.pitch >= 0 ? bm.buffer + r * bm.pitch : bm.buffer + (g.rows - 1 - r) * -bm.pitch;
        std::copy_n(row, g.width, g.coverage.begin() + static_cast<ptrdiff_t>(r) * g.width);
      }
    }
  }
  return size.glyphs.emplace(cp, std::move(g)).first->second;
}

// Length of the valid UTF-8 sequence at p (2 to 4 bytes), or 0.
int utf8Sequence(const unsigned char* p, char32_t& cp) {
  unsigned char b = p[0];
  int n;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;  // overlong
    if (b == 0xED) hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (p[1] < lo || p[1] > hi) return 0;
  for (int i = 2; i < n; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  cp = b & (0x7F >> n);
  for (int i = 1; i < n; ++i) cp = cp << 6 | (p[i] & 0x3F);
  return n;
}

// The characters of a text: UTF-8 where it is valid, any other byte read as
// Latin-1. Control characters have no picture and are left out.
std::u32string characters(const char* str) {
  std::u32string out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(str);
  while (*p) {
    char32_t cp = *p;
    int n = *p >= 0x80 ? utf8Sequence(p, cp) : 0;
    p += n ? n : 1;
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) continue;
    out.push_back(cp);
  }
  return out;
}

int measure(const std::u32string& text, int sizeIdx) {
  int w = 0;
  for (char32_t cp : text) w += glyph(sizeIdx, cp).advance;
  return w;
}

}  // namespace

uint32_t osdLineHeight(uint8_t fntSize) { return kLineHeights[sizeIndex(fntSize)]; }

int osdGetW(const char* str, uint8_t fntType, uint8_t fntSize) {
  int w = 0;
  if (str && font().ok) w = measure(characters(str), sizeIndex(fntSize));
  if (tracing()) trace("TAP_Osd_GetW(%s, %u, %u) = %d", quote(str).c_str(), fntType, fntSize, w);
  return w;
}

int osdPutS(uint16_t rgn, uint32_t x, uint32_t y, uint32_t maxX, const char* str, uint32_t fg, uint32_t bg,
            uint8_t fntType, uint8_t fntSize, uint8_t bDot, uint8_t align) {
  screenChanged();
  OsdRegion* r = osdRegion(rgn);
  int result = kFail;
  if (r && str && font().ok && x < maxX && x < r->w && y < r->h) {
    int sizeIdx = sizeIndex(fntSize);
    std::u32string text = characters(str);
    int64_t width = measure(text, sizeIdx);
    int64_t field = int64_t{maxX} - x;
    int64_t pen = x;  // text too wide for its field starts at x and is cut at maxX
    if (width <= field && align == 1) pen = x + (field - width) / 2;
    if (width <= field && align == 2) pen = int64_t{maxX} - width;

    // The line box, cut to the region: nothing is drawn outside it.
    int64_t right = std::min<int64_t>(maxX, r->w);
    int64_t bottom = std::min<int64_t>(int64_t{y} + kLineHeights[sizeIdx], r->h);
    if ((bg >> 24) != 0)
      for (int64_t py = y; py < bottom; ++py)
        std::fill(&r->at(x, uint32_t(py)), &r->at(x, uint32_t(py)) + (right - x), bg);

    int64_t baseline = int64_t{y} + font().sizes[sizeIdx].baseline;
    uint32_t fgAlpha = fg >> 24;
    for (char32_t cp : text) {
      const Glyph& g = glyph(sizeIdx, cp);
      for (int gr = 0; gr < g.rows; ++gr) {
        int64_t py = baseline - g.top + gr;
        if (py < y || py >= bottom) continue;
        for (int gc = 0; gc < g.width; ++gc) {
          int64_t px = pen + g.left + gc;
          uint32_t cover = g.coverage[static_cast<size_t>(gr) * g.width + gc];
          if (cover == 0 || px < x || px >= right) continue;
          uint32_t& pixel = r->at(static_cast<uint32_t>(px), static_cast<uint32_t>(py));
          pixel = blendOver(pixel, fg, (cover * fgAlpha + 127) / 255);
        }
      }
      pen += g.advance;
    }
    result = 0;
  }
  if (tracing())
    trace("TAP_Osd_PutS(%u, %u, %u, %u, %s, 0x%08X, 0x%08X, %u, %u, %u, %u) = %d", rgn, x, y, maxX, quote(str).c_str(),
          fg, bg, fntType, fntSize, bDot, align, result);
  return result;
}

}  // namespace emu::detail
