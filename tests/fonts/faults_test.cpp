// TAP_MemAlloc fails at every call in turn while a font is loaded, looked up,
// measured and drawn: nothing may crash, and once the font is freed every
// block is back, by the emulator's count and by the fonts' own ledger.
#include <gtest/gtest.h>

#include "lib/fonts/fonts.h"
#include "screen/screen_support.h"

namespace {

// One run of everything that allocates. Returns the number of TAP_MemAlloc
// calls it made.
long scenario(uint16_t rgn) {
  long before = emu::allocCalls();
  FontDataUC font{};
  if (FMUC_LoadFontFile("Calibri_14.ufnt", &font)) {
    FMUC_GetGlyphData(&font, "A", nullptr);
    FMUC_GetStringWidth("Zürich \xE2\x82\xAC", &font);
    FMUC_PutString(rgn, 20, 40, 250, "1. Das Erste HD \xCC\x81", 0xFFFFFFFF, 0xFF101010, &font, 0, 0);
    FMUC_PutString(rgn, 20, 80, 120, "Start Orvado, a long status", 0xFF00FF00, 0, &font, 1, 1);
    FMUC_PutString(rgn, 20, 120, 120, "Kanal \xDE\xFD ended", 0xFF00FF00, 0, &font, 2, 2);
  }
  FMUC_FreeFontFile(&font);
  return emu::allocCalls() - before;
}

TEST(FontFaults, EveryAllocationMayFail) {
  orvado_test::freshReceiver(orvado_test::virtualConfig());
  uint16_t rgn = uint16_t(TAP_Osd_Create(0, 0, 720, 576, 0, 0));
  size_t baseline = emu::liveBlocks();
  long calls = scenario(rgn);
  ASSERT_GT(calls, 10);
  EXPECT_EQ(emu::liveBlocks(), baseline);
  emu::Image good = emu::regionImage(rgn);

  for (long n = 0; n < calls; ++n) {
    for (bool persistent : {false, true}) {
      TAP_Osd_FillBox(rgn, 0, 0, 720, 576, 0);
      emu::failAllocAfter(n, persistent);
      scenario(rgn);
      emu::failAllocAfter(-1);
      EXPECT_EQ(emu::liveBlocks(), baseline) << "failure at call " << n << (persistent ? " and after" : "");
      uint32_t records = 1;
      FMUC_MemoryDump(&records, nullptr);
      EXPECT_EQ(records, 0u) << "failure at call " << n;
      screen_test::logMessages();  // the console must not fill up
    }
  }

  // And with memory back, the same pictures as before.
  TAP_Osd_FillBox(rgn, 0, 0, 720, 576, 0);
  scenario(rgn);
  EXPECT_EQ(emu::regionImage(rgn).pixels, good.pixels);
}

}  // namespace
