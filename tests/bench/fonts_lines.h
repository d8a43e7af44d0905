// The font benchmarks' common job: one line of 30 characters drawn into a
// 720 x 576 region with FMUC_PutString, or with FreeType's glyph cache
// (FTC_SBitCache) from the same Carlito outlines at the same size, doing
// the same work through the receiver's calls. fonts_bench times it on the
// PC; fonts_count draws it a given number of times for an instruction
// counter (the receiver's MIPS under qemu).
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_CACHE_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/core/emulator.h"
#include "emulator/core/sandbox.h"
#include "lib/fonts/fonts.h"
#include "lib/text/text.h"

namespace fonts_lines {

struct Script {
  const char* name;
  const char* line;
};
inline const Script kScripts[] = {
    {"latin", "Grüße aus Köln, Ça va? Øre 12€"},
    {"greek", "Καλημέρα από την Αθήνα, 12€ ΟΚ"},
    {"cyrillic", "Привет из Москвы, как дела 12€"},
    {"marks",
     "Gru\xCC\x88"
     "ße aus Ko\xCC\x88"
     "ln, C\xCC\xA7"
     "a va? Øre 12€"},
};

constexpr int kPixels = 14;
constexpr uint32_t kW = 720, kH = 576;
constexpr uint32_t kX = 20, kY = 100, kMaxX = 700, kFg = 0xFFFFFFFF, kBg = 0xFF101010;
// Over a picture the lines go down the screen, one slot each.
constexpr uint32_t kSlotTop = 4, kSlotPitch = 22, kSlots = 26;
inline const char* const kCarlito = "/usr/share/fonts/truetype/crosextra/Carlito-Regular.ttf";

enum class Ground { Solid, Flat, Photo };

inline FontDataUC g_font{};
inline uint16_t g_rgn = 0;

// ---- the pictures -----------------------------------------------------------

// Rows of flat colour darkening downwards in bands, framed every slot.
inline std::vector<uint32_t> flatPicture() {
  std::vector<uint32_t> p(size_t(kW) * kH);
  for (uint32_t y = 0; y < kH; ++y) {
    uint32_t band = (y % kSlotPitch) / 3;
    uint32_t c = y % kSlotPitch == 0 ? 0xFF9C9C9C : 0xFF000000u | (16u << 16) | (32u << 8) | (200 - 20 * band);
    std::fill_n(&p[size_t(y) * kW], kW, c);
  }
  return p;
}

// Every pixel its own colour: gradients and noise.
inline std::vector<uint32_t> photoPicture() {
  std::vector<uint32_t> p(size_t(kW) * kH);
  uint32_t seed = 12345;
  for (uint32_t y = 0; y < kH; ++y)
    for (uint32_t x = 0; x < kW; ++x) {
      seed = seed * 1664525u + 1013904223u;
      uint32_t n = seed >> 26;  // 0..63
      uint32_t r = (x * 255 / kW + n) & 0xFF, g = (y * 255 / kH + n) & 0xFF, b = ((x + y) / 5 + n) & 0xFF;
      p[size_t(y) * kW + x] = 0xFF000000u | r << 16 | g << 8 | b;
    }
  return p;
}

inline const std::vector<uint32_t>& picture(Ground g) {
  static const std::vector<uint32_t> flat = flatPicture(), photo = photoPicture();
  return g == Ground::Photo ? photo : flat;
}

// ---- FreeType through its cache ------------------------------------------------

struct FreeTypeLine {
  FT_Library lib = nullptr;
  FTC_Manager manager = nullptr;
  FTC_CMapCache cmap = nullptr;
  FTC_SBitCache sbits = nullptr;
  int ascent = 0, lineHeight = 0;
  // The field's height, as for FMUC_PutString: the row of the menu is the
  // same whichever renderer draws into it.
  int fieldHeight = 0;

  static FT_Error requester(FTC_FaceID, FT_Library library, FT_Pointer, FT_Face* face) {
    return FT_New_Face(library, kCarlito, 0, face);
  }

  bool open() {
    if (FT_Init_FreeType(&lib) || FTC_Manager_New(lib, 0, 0, 0, requester, nullptr, &manager) ||
        FTC_CMapCache_New(manager, &cmap) || FTC_SBitCache_New(manager, &sbits))
      return false;
    FTC_ScalerRec scaler{};
    scaler.face_id = nullptr;
    scaler.width = 0;
    scaler.height = kPixels;
    scaler.pixel = 1;
    FT_Size size;
    if (FTC_Manager_LookupSize(manager, &scaler, &size)) return false;
    ascent = int((size->metrics.ascender + 63) >> 6);
    lineHeight = ascent + int((-size->metrics.descender + 63) >> 6);
    return true;
  }

  ~FreeTypeLine() {
    if (manager) FTC_Manager_Done(manager);
    if (lib) FT_Done_FreeType(lib);
  }

  static std::u32string decode(const char* line) {
    std::u32string text;
    for (const char* p = line; *p;) {
      uint8_t n = 1;
      text.push_back(UTF8ToUTF32(p, &n));
      p += n;
    }
    return text;
  }

  // Blends channel by channel, as the TAP's renderer does.
  static uint32_t blend(uint32_t a, uint32_t fg, uint32_t bg) {
    uint32_t out = fg & 0xFF000000u;
    for (int shift = 0; shift < 24; shift += 8) {
      uint32_t f = (fg >> shift) & 0xFF, b = (bg >> shift) & 0xFF;
      out |= (((255 - a) * b + a * f) >> 8) << shift;
    }
    return out;
  }

  // Only the receiver's calls that draw() makes for a line `width` pixels
  // wide, without any glyph: what both renderers pay to the firmware.
  void receiverCalls(int width, uint32_t y, bool solid) const {
    if (solid) TAP_Osd_FillBox(g_rgn, kX, y, kMaxX - kX, uint32_t(fieldHeight) + 1, kBg);
    const uint32_t boxW = uint32_t(width) + 1, boxH = uint32_t(fieldHeight) + 1;
    uint32_t* box = TAP_Osd_SaveBox(g_rgn, kX, y, boxW, boxH);
    if (box == nullptr) return;
    TAP_Osd_RestoreBox(g_rgn, kX, y, boxW, boxH, box);
    TAP_MemFree(box);
  }

  // The line's width as draw() lays it out.
  int width(const std::u32string& text) {
    FTC_ImageTypeRec type{};
    type.height = kPixels;
    type.flags = FT_LOAD_DEFAULT | FT_LOAD_RENDER;
    int sum = 0;
    for (char32_t cp : text) {
      FTC_SBit sbit;
      if (FTC_SBitCache_Lookup(sbits, &type, FTC_CMapCache_Lookup(cmap, nullptr, -1, cp), &sbit, nullptr) == 0)
        sum += sbit->xadvance;
    }
    return sum;
  }

  // The line's glyphs are looked up and measured, then drawn as
  // FMUC_PutString draws: the field filled (solid), the line's rectangle
  // saved, blended into and restored.
  void draw(const std::u32string& text, uint32_t y, bool solid) {
    FTC_ImageTypeRec type{};
    type.face_id = nullptr;
    type.width = 0;
    type.height = kPixels;
    type.flags = FT_LOAD_DEFAULT | FT_LOAD_RENDER;
    FTC_SBit glyphs[64];
    size_t count = 0;
    int width = 0;
    for (char32_t cp : text) {
      FT_UInt index = FTC_CMapCache_Lookup(cmap, nullptr, -1, cp);
      FTC_SBit sbit;
      if (count == 64 || FTC_SBitCache_Lookup(sbits, &type, index, &sbit, nullptr)) continue;
      glyphs[count++] = sbit;
      width += sbit->xadvance;
    }
    if (solid) TAP_Osd_FillBox(g_rgn, kX, y, kMaxX - kX, uint32_t(fieldHeight) + 1, kBg);
    const int boxW = width + 1, boxH = fieldHeight + 1;
    uint32_t* box = TAP_Osd_SaveBox(g_rgn, kX, y, uint32_t(boxW), uint32_t(boxH));
    if (box == nullptr) return;
    int pen = 0;
    for (size_t i = 0; i < count; ++i) {
      FTC_SBit sbit = glyphs[i];
      int top = ascent - sbit->top, left = pen + sbit->left;
      // Cut to the rectangle, as FMUC_PutString cuts.
      int r0 = std::max(0, -top), r1 = std::min(int(sbit->height), boxH - top);
      int c0 = std::max(0, -left), c1 = std::min(int(sbit->width), boxW - left);
      for (int r = r0; r < r1; ++r) {
        const uint8_t* src = sbit->buffer + r * sbit->pitch;
        uint32_t* dst = box + (top + r) * boxW + left;
        for (int c = c0; c < c1; ++c) {
          uint32_t a = src[c];
          if (a == 0) continue;
          dst[c] = a == 255 ? kFg : blend(a, kFg, dst[c]);
        }
      }
      pen += sbit->xadvance;
    }
    TAP_Osd_RestoreBox(g_rgn, kX, y, uint32_t(boxW), uint32_t(boxH), box);
    TAP_MemFree(box);
  }
};

inline FreeTypeLine* g_ft = nullptr;

// ---- one kind of line, for either renderer --------------------------------------

// Draws lines of one kind, each over fresh picture; paint() puts the picture
// back and is left out of the measurement by the caller.
struct Drawer {
  bool freetype;
  Ground ground;
  const char* line;
  std::u32string decoded;
  uint32_t slot = 0;

  Drawer(bool ft, Ground g, const char* l) : freetype(ft), ground(g), line(l), decoded(FreeTypeLine::decode(l)) {}

  // Both draw on the same region, painted the same way.
  void paint() {
    slot = 0;
    if (ground == Ground::Solid) return;
    TAP_Osd_RestoreBox(g_rgn, 0, 0, kW, kH, picture(ground).data());
  }
  bool needsPaint() const { return ground != Ground::Solid && slot == kSlots; }

  void draw() {
    uint32_t y = ground == Ground::Solid ? kY : kSlotTop + kSlotPitch * slot++;
    if (freetype)
      g_ft->draw(decoded, y, ground == Ground::Solid);
    else
      FMUC_PutString(g_rgn, kX, y, kMaxX, line, kFg, ground == Ground::Solid ? kBg : 0, &g_font, 0, 0);
  }
};

inline const char* groundName(Ground g) { return g == Ground::Solid ? "solid" : g == Ground::Flat ? "over" : "photo"; }

inline std::string benchName(bool ft, Ground g, const char* script) {
  return std::string(ft ? "freetype/" : "ours/") + groundName(g) + "/" + script;
}

// Every kind of line: each script solid and over the flat picture, and the
// Latin line over the photograph.
template <typename F>
inline void forEachKind(F f) {
  for (const Script& s : kScripts)
    for (Ground g : {Ground::Solid, Ground::Flat}) f(g, s);
  f(Ground::Photo, kScripts[0]);
}

inline bool setUp() {
  std::string error;
  if (!emu::inSandbox() && !emu::enterSandboxInPlace({}, &error)) {
    std::fprintf(stderr, "font benchmark: cannot make the sandbox: %s\n", error.c_str());
    return false;
  }
  emu::Config config;
  config.virtualClock = true;
  if (!emu::reset(config, &error)) {
    std::fprintf(stderr, "font benchmark: cannot make the receiver: %s\n", error.c_str());
    return false;
  }
  if (!FMUC_LoadFontFile("Calibri_14.ufnt", &g_font)) {
    std::fprintf(stderr, "font benchmark: Calibri_14.ufnt is not in the disk template (build the 'disk' target)\n");
    return false;
  }
  g_rgn = uint16_t(TAP_Osd_Create(0, 0, kW, kH, 0, 0));
  TAP_Osd_FillBox(g_rgn, 0, 0, kW, kH, 0xFF336699);
  g_ft = new FreeTypeLine;
  if (!g_ft->open()) {
    std::fprintf(stderr, "font benchmark: FreeType cannot open %s\n", kCarlito);
    return false;
  }
  // Both fill, save and restore fields of the same height: FMUC_PutString's
  // (its glyphs' height), which is also above FreeType's own line height.
  for (const Script& s : kScripts)
    g_ft->fieldHeight = std::max({g_ft->fieldHeight, g_ft->lineHeight, int(FMUC_GetStringHeight(s.line, &g_font))});
  // Both draw the same characters: the lines' glyphs are cached on both sides.
  for (const Script& s : kScripts) {
    FMUC_PutString(g_rgn, kX, kY, kMaxX, s.line, kFg, kBg, &g_font, 0, 0);
    g_ft->draw(FreeTypeLine::decode(s.line), kY, true);
    std::printf("%-8s \"%s\" (%u pixels wide in Calibri_14.ufnt, %d pixels per em in FreeType)\n", s.name, s.line,
                FMUC_GetStringWidth(s.line, &g_font), kPixels);
  }
  return true;
}

}  // namespace fonts_lines
