// Unicode fonts in the UFNT format, their glyph cache, and measuring and
// anti-aliased drawing of one line of text ("FontManager UC").
//
// The UFNT file layout and its FontDef entry (FontDefUC) are defined once,
// in formats/ufnt.h, which the font converter includes too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/ufnt.h"

// One glyph cache entry: the FontDef entry with the bitmap held in memory.
struct GlyphDataUC {
  uint32_t Unicode;
  uint8_t* GlyphData;  // Width x Height coverage bytes, owned by the cache
  uint16_t Width;
  uint16_t Height;
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(GlyphDataUC) == 12, "a glyph cache slot is 12 bytes on the receiver");
#endif

// A font handle. All zero is a font that is not loaded.
struct FontDataUC {
  int32_t FileHandle;       // open font file, 0 for none
  int32_t FontDefCount;     // N as read from the file
  FontDefUC* FontDef;       // the N entries as read
  int32_t GlyphCacheCount;  // slots of GlyphCache in use, from the front
  GlyphDataUC* GlyphCache;  // N slots
};

typedef FontDefUC tFontDefUC;
typedef GlyphDataUC tGlyphDataUC;
typedef FontDataUC tFontDataUC;

// One record of the allocation ledger.
struct FMUC_MemoryRecord {
  uint32_t Reserved;  // not read
  uint32_t Size;      // bytes
  void* Block;        // null for a free record
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(FMUC_MemoryRecord) == 12, "a ledger record is three 32-bit words on the receiver");
#endif
constexpr int FMUC_MemoryRecords = 10000;

// The allocation ledger: every block of the font renderer that is reserved
// and not yet freed, as far as the 10,000 records reach.
extern FMUC_MemoryRecord FMUC_Memory[FMUC_MemoryRecords];

// Blend table: entry a holds red, green and blue at coverage a under the
// colours of the last FM_InitAlphaLUT. Entry 255 is never used.
extern uint8_t AlphaLUT[256][3];

// ---- font files and glyph cache ---------------------------------------------

// Loads the UFNT font `fontName` (any path form; only the bare file name is
// used, and the file is always taken from /mnt/hd/ProgramFiles/Settings/Fonts/)
// into `font`, which is cleared first. The file stays open; bitmaps are read
// on first use. Returns 1 when loaded, 0 on failure, which is logged; a
// missing file also shows the message window for 3 seconds. After a failure
// only FMUC_FreeFontFile may be called on the handle.
int FMUC_LoadFontFile(const char* fontName, FontDataUC* font);

// Releases everything that `font` owns (file, tables, cached bitmaps) and
// clears it. Safe on null, on a cleared handle and after a failed load.
void FMUC_FreeFontFile(FontDataUC* font);

// The cache entry of the character that starts at `text` (UTF-8; a byte that
// starts no valid sequence stands for itself), reading its bitmap on first
// use. byteCount (optional) receives the character's length in bytes, also
// when there is no glyph. Returns null for null arguments or an empty text
// (byteCount untouched), for control bytes (length 1, no message), and for a
// character that the font lacks or whose bitmap cannot be had (logged). An
// entry stays valid until FMUC_FreeFontFile.
GlyphDataUC* FMUC_GetGlyphData(FontDataUC* font, const char* text, uint8_t* byteCount);

// ---- memory -------------------------------------------------------------------

// A block of `size` bytes from TAP_MemAlloc, entered in the ledger, or null.
// owner names the purpose, e.g. "FMUC_LoadFontFile FontDef".
void* FMUC_ReserveMemory(const char* owner, uint32_t size);

// Returns `block` to TAP_MemFree and takes it off the ledger. Null does nothing.
void FMUC_FreeMemory(const char* owner, void* block);

// Counts the ledger's records in use and sums their sizes into *count and
// *totalSize (either may be null).
void FMUC_MemoryDump(uint32_t* count, uint32_t* totalSize);

// The first free ledger record, or null when all are in use.
FMUC_MemoryRecord* FMUC_MemoryFindFree(void);

// The first ledger record of `block`, or null.
FMUC_MemoryRecord* FMUC_MemoryFindPointer(const void* block);

// ---- measuring and drawing ------------------------------------------------------

// Draws `text` (UTF-8 or 8-bit broadcast text) in `font` into region `rgn`,
// in the field from column x up to maxX with its top at row y, anti-aliased
// over the solid `background` or, when its alpha byte is 0, over what the
// region shows. truncation: 0 cut the end, 1 cut the end and append "...",
// 2 cut the start behind "...", other values draw nothing when too wide.
// align: 0 left, 1 centred, 2 right. Draws nothing on null or empty text, a
// null font, x >= maxX, or when memory or the region cannot be had.
void FMUC_PutString(uint16_t rgn, uint32_t x, uint32_t y, uint32_t maxX, const char* text, uint32_t foreground,
                    uint32_t background, FontDataUC* font, uint8_t truncation, uint8_t align);

// FMUC_PutString with a colour factor that multiplies every blended channel
// of a partly covered pixel.
void FMUC_PutStringAA(uint16_t rgn, uint32_t x, uint32_t y, uint32_t maxX, const char* text, uint32_t foreground,
                      uint32_t background, FontDataUC* font, uint8_t truncation, uint8_t align, float colourFactor);

// Width in pixels of `text`: the sum of the glyph widths, combining marks
// left out. 0 for null or empty text or a null font.
uint32_t FMUC_GetStringWidth(const char* text, FontDataUC* font);

// Height in pixels of `text`: the largest glyph height, marks included.
// 0 for null or empty text or a null font.
uint32_t FMUC_GetStringHeight(const char* text, FontDataUC* font);

// 1 when `codePoint` is a combining mark that is drawn over the character
// before it, else 0.
int FMUC_IsDiacriticalMark(uint32_t codePoint);

// The first byte after p that is no UTF-8 continuation byte (the terminator
// counts as one). Null for null.
char* FMUC_FindNextUTF8(const char* p);

// p moved back over continuation bytes to the start of its character. Null
// for null.
char* FMUC_FindUTF8Start(const char* p);

// ---- blending ---------------------------------------------------------------------

// One channel: f over b at coverage a (0 gives b, 255 gives f; otherwise
// ((255 - a) * b + a * f) >> 8 times colourFactor, 255 when out of range).
uint8_t FM_AlphaBlend(uint8_t a, uint8_t f, uint8_t b, float colourFactor);

// Red, green and blue of `foreground` over `background` at coverage a,
// packed as 0x00RRGGBB.
uint32_t FM_AlphaBlendRGB(uint8_t a, uint32_t foreground, uint32_t background, float colourFactor);

// Fills AlphaLUT entries 0 to 254 for these colours.
void FM_InitAlphaLUT(uint32_t foreground, uint32_t background, float colourFactor);
