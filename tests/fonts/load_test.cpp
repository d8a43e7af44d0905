// Loading UFNT files, the glyph cache, freeing and the memory ledger.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "fonts/ufnt_builder.h"
#include "lib/fonts/fonts.h"
#include "lib/screen/screen.h"
#include "screen/screen_support.h"

using namespace fonts_test;
using screen_test::logMessages;
using Lines = std::vector<std::string>;

extern "C" const char __tap_program_name__[];

namespace {

// Every byte, padding included: freeing wipes the whole record.
bool allZero(const FontDataUC& f) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&f);
  return std::all_of(bytes, bytes + sizeof f, [](unsigned char b) { return b == 0; });
}

uint32_t ledgerCount() {
  uint32_t n = 0;
  FMUC_MemoryDump(&n, nullptr);
  return n;
}

class Fonts : public ::testing::Test {
 protected:
  void SetUp() override {
    orvado_test::freshReceiver(orvado_test::virtualConfig());
    blocksBefore = emu::liveBlocks();
  }
  void TearDown() override {
    FMUC_FreeFontFile(&font);
    EXPECT_EQ(emu::liveBlocks(), blocksBefore) << "every block is returned";
    EXPECT_EQ(ledgerCount(), 0u);
  }
  FontDataUC font{};
  size_t blocksBefore = 0;
};

// Records the texts of TAP_Osd_PutS and the screen while TAP_Delay waits.
std::vector<std::string> putTexts;
emu::Image screenDuringDelay;
int (*realPutS)(uint16_t, uint32_t, uint32_t, uint32_t, const char*, uint32_t, uint32_t, uint8_t, uint8_t, uint8_t,
                uint8_t);
void (*realDelay)(uint32_t);
int recordPutS(uint16_t r, uint32_t x, uint32_t y, uint32_t m, const char* s, uint32_t f, uint32_t b, uint8_t t,
               uint8_t z, uint8_t d, uint8_t a) {
  putTexts.push_back(s ? s : "(null)");
  return realPutS(r, x, y, m, s, f, b, t, z, d, a);
}
void recordDelay(uint32_t ticks) {
  screenDuringDelay = emu::screen();
  realDelay(ticks);
}

}  // namespace

TEST_F(Fonts, RealFontsLoadFromTheFontFolderWhateverTheDirectory) {
  ASSERT_EQ(FMUC_LoadFontFile("Calibri_14.ufnt", &font), 1);
  EXPECT_GT(font.FileHandle, 0);
  EXPECT_GE(font.FontDefCount, 800);
  EXPECT_EQ(font.GlyphCacheCount, 0);
  EXPECT_EQ(logMessages(), Lines{});
  // Characters the converter had to take from the fallback font are there.
  for (const char* s : {"\xE2\x82\xAC", "\xCC\x81", "\xE2\x99\xAA", "\xD0\x96", "\xCE\xB4"})
    EXPECT_NE(FMUC_GetGlyphData(&font, s, nullptr), nullptr) << s;
  FMUC_FreeFontFile(&font);

  ASSERT_EQ(FMUC_LoadFontFile("/mnt/hd/MediaFiles/elsewhere/Calibri_12.ufnt", &font), 1);
  EXPECT_GT(font.FontDefCount, 0);
}

TEST_F(Fonts, MissingFontShowsTheMessageWindowForThreeSeconds) {
  realPutS = TAP_Osd_PutS;
  realDelay = TAP_Delay;
  TAP_Osd_PutS = recordPutS;
  TAP_Delay = recordDelay;
  putTexts.clear();
  uint32_t before = emu::ticks();
  font.FileHandle = 77;  // cleared first
  int result = FMUC_LoadFontFile("Calibri_12_missing.ufnt", &font);
  TAP_Osd_PutS = realPutS;
  TAP_Delay = realDelay;

  EXPECT_EQ(result, 0);
  EXPECT_LT(font.FileHandle, 0) << "the failed open stays in the handle";
  EXPECT_EQ(font.FontDef, nullptr);
  EXPECT_EQ(logMessages(), Lines{"FontManager UC: failed to load Calibri_12_missing.ufnt"});
  EXPECT_EQ(putTexts,
            (Lines{__tap_program_name__, "failed to load Calibri_12_missing.ufnt", "Please install the font"}));
  EXPECT_STREQ(__tap_program_name__, "Orvado");
  EXPECT_EQ(emu::ticks() - before, 300u);
  EXPECT_EQ(zindra_rgn, 0u) << "the window is gone afterwards";
  EXPECT_FALSE(screenDuringDelay.pixels.empty());
  EXPECT_EQ(screenDuringDelay.pixels[size_t(244) * 720 + 360], 0xFF9C9C9Cu) << "the frame's top edge at row 244";
}

TEST_F(Fonts, RefusesBadFiles) {
  installFont("bad_magic.ufnt", "UFNX" + std::string(8, '\0'));
  EXPECT_EQ(FMUC_LoadFontFile("bad_magic.ufnt", &font), 0);
  EXPECT_EQ(font.FileHandle, 0);
  EXPECT_EQ(logMessages(), Lines{"FontManager UC: 'bad_magic.ufnt' has invalid header"});

  installFont("short.ufnt", "UF");
  EXPECT_EQ(FMUC_LoadFontFile("short.ufnt", &font), 0);
  EXPECT_EQ(logMessages(), Lines{"FontManager UC: 'short.ufnt' has invalid header"});

  // Counts that are negative, overflow, or promise more than the file holds
  // are refused like a table that cannot be reserved.
  struct Case {
    int32_t count;
    const char* message;
  } cases[] = {
      {-1, "FontManager UC: failed to allocate -12 bytes for the FontDef table of 'count.ufnt'"},
      {0x7FFFFFFF, "FontManager UC: failed to allocate -12 bytes for the FontDef table of 'count.ufnt'"},
      {0x08000000, "FontManager UC: failed to allocate 1610612736 bytes for the FontDef table of 'count.ufnt'"},
      {3, "FontManager UC: failed to allocate 36 bytes for the FontDef table of 'count.ufnt'"},
  };
  for (const Case& c : cases) {
    std::string bytes = makeUfnt({{'a', 1, 1, {}}, {'b', 1, 1, {}}});
    std::memcpy(&bytes[4], &c.count, 4);
    installFont("count.ufnt", bytes.substr(0, 8 + 24));
    EXPECT_EQ(FMUC_LoadFontFile("count.ufnt", &font), 0) << c.count;
    EXPECT_EQ(font.FileHandle, 0);
    EXPECT_EQ(font.FontDef, nullptr);
    EXPECT_EQ(logMessages(), Lines{c.message}) << c.count;
    FMUC_FreeFontFile(&font);
  }

  EXPECT_EQ(FMUC_LoadFontFile(nullptr, &font), 0);
  EXPECT_EQ(FMUC_LoadFontFile("", &font), 0);
  EXPECT_EQ(FMUC_LoadFontFile("Calibri_14.ufnt", nullptr), 0);
  EXPECT_EQ(logMessages(), Lines{});
}

TEST_F(Fonts, GlyphCacheReadsOnceAndKeepsEntries) {
  std::string bytes = makeUfnt({{'A', 2, 1, {10, 20}}, {'B', 1, 1, {30}}, {'A', 1, 1, {99}}});
  installFont("cache.ufnt", bytes);
  ASSERT_EQ(FMUC_LoadFontFile("cache.ufnt", &font), 1);

  uint8_t n = 0;
  GlyphDataUC* a = FMUC_GetGlyphData(&font, "A", &n);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(a->Width, 2) << "the first of two entries with one code point";
  EXPECT_EQ(a->GlyphData[1], 20);
  EXPECT_EQ(font.GlyphCacheCount, 1);

  // Change the bitmap on disk: a cached glyph is not read again.
  bytes[8 + 36 + 1] = char(77);
  installFont("cache.ufnt", bytes);
  EXPECT_EQ(FMUC_GetGlyphData(&font, "A", nullptr), a);
  EXPECT_EQ(a->GlyphData[1], 20);
  EXPECT_EQ(font.GlyphCacheCount, 1);

  GlyphDataUC* b = FMUC_GetGlyphData(&font, "B", nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(font.GlyphCacheCount, 2);
  EXPECT_EQ(FMUC_GetGlyphData(&font, "A", nullptr), a) << "entries stay where they are";
  EXPECT_EQ(ledgerCount(), 4u) << "FontDef, cache and two bitmaps";
  EXPECT_EQ(logMessages(), Lines{});
}

TEST_F(Fonts, MissingAndControlCharacters) {
  installFont("small.ufnt", makeUfnt({{'a', 1, 1, {}}}));
  ASSERT_EQ(FMUC_LoadFontFile("small.ufnt", &font), 1);
  uint8_t n = 0;
  EXPECT_EQ(FMUC_GetGlyphData(&font, "\xE2\x82\xAC", &n), nullptr);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(FMUC_GetGlyphData(&font, "\xE2\x82\xAC", &n), nullptr);
  EXPECT_EQ(logMessages(), (Lines{"Glyph 20ac not found", "Glyph 20ac not found"})) << "logged on every look-up";

  for (const char* s : {"\t", "\x85", "\x1F", "\x9F"}) {
    n = 0;
    EXPECT_EQ(FMUC_GetGlyphData(&font, s, &n), nullptr);
    EXPECT_EQ(n, 1);
  }
  EXPECT_EQ(logMessages(), Lines{}) << "control bytes are silent";

  n = 9;
  EXPECT_EQ(FMUC_GetGlyphData(&font, "", &n), nullptr);
  EXPECT_EQ(FMUC_GetGlyphData(nullptr, "a", &n), nullptr);
  EXPECT_EQ(n, 9) << "not written for an empty text or a null font";
  // A lone 8-bit byte stands for itself.
  EXPECT_EQ(FMUC_GetGlyphData(&font, "\xE9", &n), nullptr);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(logMessages(), Lines{"Glyph e9 not found"});
}

TEST_F(Fonts, BitmapPastTheEndOfTheFileIsRefused) {
  std::string bytes = makeUfnt({{'a', 4, 4, {}}, {'b', 2, 2, {}}});
  installFont("cut.ufnt", bytes.substr(0, bytes.size() - 2));
  ASSERT_EQ(FMUC_LoadFontFile("cut.ufnt", &font), 1);
  EXPECT_NE(FMUC_GetGlyphData(&font, "a", nullptr), nullptr);
  EXPECT_EQ(FMUC_GetGlyphData(&font, "b", nullptr), nullptr) << "no half-read bitmap is drawn";
  EXPECT_EQ(font.GlyphCacheCount, 1);
  EXPECT_EQ(logMessages(), Lines{"FontManager UC: failed to read 4 bytes for glyph 62"});
}

TEST_F(Fonts, FreeingIsSafeInEveryState) {
  FMUC_FreeFontFile(nullptr);
  FMUC_FreeFontFile(&font);
  EXPECT_TRUE(allZero(font));

  // A failed cache reservation leaves the file open and the table allocated.
  installFont("two.ufnt", makeUfnt({{'a', 1, 1, {}}, {'b', 1, 1, {}}}));
  emu::failAllocAfter(1);
  EXPECT_EQ(FMUC_LoadFontFile("two.ufnt", &font), 0);
  emu::failAllocAfter(-1);
  EXPECT_GT(font.FileHandle, 0);
  EXPECT_NE(font.FontDef, nullptr);
  EXPECT_EQ(font.GlyphCache, nullptr);
  EXPECT_EQ(logMessages(), Lines{"FontManager UC: failed to allocate " + std::to_string(2 * sizeof(GlyphDataUC)) +
                                 " bytes for the FontCache table of 'two.ufnt'"});
  EXPECT_EQ(FMUC_GetGlyphData(&font, "a", nullptr), nullptr) << "a half-loaded font draws nothing";
  FMUC_FreeFontFile(&font);
  EXPECT_TRUE(allZero(font));
  FMUC_FreeFontFile(&font);
  EXPECT_TRUE(allZero(font));
}

TEST_F(Fonts, LedgerFollowsTheBlocks) {
  uint32_t count = 1, total = 1;
  FMUC_MemoryDump(&count, &total);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(FMUC_MemoryFindFree(), &FMUC_Memory[0]);

  void* a = FMUC_ReserveMemory("test", 100);
  void* b = FMUC_ReserveMemory("test", 20);
  FMUC_MemoryDump(&count, &total);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(total, 120u);
  EXPECT_EQ(FMUC_MemoryFindPointer(b), &FMUC_Memory[1]);
  EXPECT_EQ(FMUC_MemoryFindFree(), &FMUC_Memory[2]);
  FMUC_FreeMemory("test", a);
  EXPECT_EQ(FMUC_MemoryFindPointer(a), nullptr);
  EXPECT_EQ(FMUC_MemoryFindFree(), &FMUC_Memory[0]);
  FMUC_FreeMemory("test", b);
  FMUC_FreeMemory("test", nullptr);

  emu::failAllocAfter(0);
  EXPECT_EQ(FMUC_ReserveMemory("test", 8), nullptr);
  emu::failAllocAfter(-1);
}
