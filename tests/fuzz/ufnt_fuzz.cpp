// A random UFNT file is loaded, looked up, measured and drawn. The loader and
// the glyph cache must keep their invariants, drawing must stay inside its
// field and give the plain rendering's pixels, and freeing must give every
// block back.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "fonts/reference_draw.h"
#include "fuzz_support.h"
#include "lib/fonts/fonts.h"
#include "lib/text/text.h"

namespace {

constexpr uint32_t kW = 160, kH = 60, kGround = 0xFF224466;

void writeFont(const uint8_t* data, size_t size) {
  std::ofstream out("/mnt/hd/ProgramFiles/Settings/Fonts/fuzz.ufnt", std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

// Every pixel outside columns x to maxX must still be the ground.
void checkOutside(uint16_t rgn, uint32_t x, uint32_t maxX) {
  emu::Image img = emu::regionImage(rgn);
  for (uint32_t py = 0; py < kH; ++py)
    for (uint32_t px = 0; px < kW; ++px)
      if (px < x || px > maxX) FUZZ_CHECK(img.pixels[py * kW + px] == kGround);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::receiver();
  writeFont(data, size);
  size_t blocks = emu::liveBlocks();

  FontDataUC font{};
  int loaded = FMUC_LoadFontFile("fuzz.ufnt", &font);
  if (loaded) {
    FUZZ_CHECK(font.FileHandle > 0 && font.FontDefCount >= 0 && font.FontDef && font.GlyphCache);
    FUZZ_CHECK(8 + 12 * uint64_t(font.FontDefCount) <= size);

    // A text of the font's own first code points, so that look-ups hit, and
    // marks and misses among them.
    std::string text;
    for (int32_t i = 0; i < font.FontDefCount && i < 12; ++i) {
      char utf8[4];
      uint8_t n = 0;
      UTF32ToUTF8(font.FontDef[i].Unicode & 0x1FFFFF, utf8, &n);
      text.append(utf8, n);
      if (i == 3) text += "e\xCC\x81";
    }
    text += "A";

    for (const char* p = text.c_str(); *p;) {
      uint8_t n = 0;
      GlyphDataUC* g = FMUC_GetGlyphData(&font, p, &n);
      FUZZ_CHECK(n >= 1 && n <= 4);
      if (g) FUZZ_CHECK(FMUC_GetGlyphData(&font, p, nullptr) == g);
      FUZZ_CHECK(font.GlyphCacheCount <= font.FontDefCount);
      p += n;
    }
    FMUC_GetStringWidth(text.c_str(), &font);
    FMUC_GetStringHeight(text.c_str(), &font);

    int rgn = TAP_Osd_Create(0, 0, kW, kH, 0, 0);
    FUZZ_CHECK(rgn >= OSD_FirstRegion);
    uint8_t mode = size ? data[size - 1] : 0;
    for (int pass = 0; pass < 4; ++pass) {
      TAP_Osd_FillBox(uint16_t(rgn), 0, 0, kW, kH, kGround);
      uint32_t x = 10 + 7 * pass, maxX = 60 + 30 * pass;
      uint32_t bg = pass & 1 ? 0 : 0xFF101010;
      FMUC_PutString(uint16_t(rgn), x, 2, maxX, text.c_str(), 0xFFFFFFFF, bg, &font, uint8_t((mode + pass) % 4),
                     uint8_t((mode >> 2) % 3));
      checkOutside(uint16_t(rgn), x, maxX);
    }
    // The fast drawing path gives the plain rendering's pixels.
    for (uint32_t bg : {0xFF101010u, 0u}) {
      TAP_Osd_FillBox(uint16_t(rgn), 0, 0, kW, kH, kGround);
      std::vector<uint32_t> expected =
          fonts_test::referenceDraw(std::vector<uint32_t>(size_t(kW) * kH, kGround), kW, kH, 5, 2, 150, text.c_str(),
                                    0xFFFFFFFF, bg, &font, uint8_t(mode % 3), 1.0f);
      FMUC_PutStringAA(uint16_t(rgn), 5, 2, 150, text.c_str(), 0xFFFFFFFF, bg, &font, 3, uint8_t(mode % 3), 1.0f);
      FUZZ_CHECK(emu::regionImage(uint16_t(rgn)).pixels == expected);
    }
    TAP_Osd_Delete(uint16_t(rgn));
  }
  FMUC_FreeFontFile(&font);
  uint32_t records = 1;
  FMUC_MemoryDump(&records, nullptr);
  FUZZ_CHECK(records == 0);
  FUZZ_CHECK(emu::liveBlocks() == blocks);
  return 0;
}
