// The UFNT font file: the one definition of its layout. tools/fontconv
// writes it; lib/fonts reads it on the receiver. Both include this header, so
// they cannot drift apart.
//
// Little-endian: the magic "UFNT", a signed 32-bit entry count N, N FontDef
// entries of 12 bytes, and the glyph bitmaps (width x height coverage bytes
// each, row by row, top to bottom) wherever the entries point. A glyph has no
// bearings: it is drawn with its left column at the pen and its top row at
// the top of the line, and its width is also the pen advance. The table is
// read into memory as it stands, so the structs below are the bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "UFNT is little-endian, like the receiver and the PC");

// The file header.
struct UFNT_Header {
  char Magic[4];         // "UFNT", no terminator
  int32_t FontDefCount;  // N
};

// One FontDef entry, exactly as stored in the file.
struct FontDefUC {
  uint32_t Unicode;       // code point
  uint32_t BitmapOffset;  // absolute offset of the bitmap in the file
  uint16_t Width;         // bitmap width in pixels, also the pen advance
  uint16_t Height;        // bitmap height in pixels
};

constexpr char UFNT_Magic[4] = {'U', 'F', 'N', 'T'};
constexpr uint32_t UFNT_HeaderSize = sizeof(UFNT_Header);
constexpr uint32_t UFNT_FontDefSize = sizeof(FontDefUC);

static_assert(UFNT_HeaderSize == 8 && offsetof(UFNT_Header, FontDefCount) == 4, "header: magic, then the count");
static_assert(UFNT_FontDefSize == 12, "a FontDef entry is 12 bytes");
static_assert(offsetof(FontDefUC, BitmapOffset) == 4 && offsetof(FontDefUC, Width) == 8 &&
                  offsetof(FontDefUC, Height) == 10,
              "FontDef: code point at 0, bitmap offset at 4, width at 8, height at 10");

// Where the first bitmap may start in a file of `count` entries.
constexpr uint64_t UFNT_TableEnd(uint64_t count) { return UFNT_HeaderSize + count * UFNT_FontDefSize; }
