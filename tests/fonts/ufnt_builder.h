// Makes UFNT files for the font tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/ufnt.h"
#include "support/testing.h"

namespace fonts_test {

constexpr const char* kFontDir = "/mnt/hd/ProgramFiles/Settings/Fonts/";

struct TestGlyph {
  uint32_t cp;
  uint16_t width, height;
  std::vector<uint8_t> bits;  // width x height; empty means all `fill`
  uint8_t fill = 255;
};

// Header, table and the bitmaps one after the other in table order.
inline std::string makeUfnt(const std::vector<TestGlyph>& glyphs) {
  std::string s;
  auto put = [&s](const auto& record) { s.append(reinterpret_cast<const char*>(&record), sizeof record); };
  UFNT_Header header{{'U', 'F', 'N', 'T'}, int32_t(glyphs.size())};
  put(header);
  uint32_t offset = uint32_t(UFNT_TableEnd(glyphs.size()));
  for (const TestGlyph& g : glyphs) {
    put(FontDefUC{g.cp, offset, g.width, g.height});
    offset += uint32_t(g.width) * g.height;
  }
  for (const TestGlyph& g : glyphs) {
    if (g.bits.empty())
      s.append(size_t(g.width) * g.height, char(g.fill));
    else
      s.append(reinterpret_cast<const char*>(g.bits.data()), g.bits.size());
  }
  return s;
}

inline void installFont(const std::string& name, const std::string& bytes) {
  orvado_test::writeFile(std::string(kFontDir) + name, bytes);
}

// A font of blocks: a-z 5 wide, '.' 2 wide, ' ' 3 wide (empty), all 4 high
// and fully covered; U+0301 3 wide and 2 high at coverage 0x40; 'i' 2 wide;
// U+0302 6 wide; U+015E (Ş) 7 wide and U+00DE (Þ) 9 wide; U+00E9 5 wide.
inline std::vector<TestGlyph> blockGlyphs() {
  std::vector<TestGlyph> g;
  for (char c = 'a'; c <= 'z'; ++c)
    if (c != 'i') g.push_back({uint32_t(c), 5, 4, {}});
  g.push_back({'i', 2, 4, {}});
  g.push_back({'.', 2, 4, {}});
  g.push_back({' ', 3, 4, {}, 0});
  g.push_back({0x0301, 3, 2, {}, 0x40});
  g.push_back({0x0302, 6, 2, {}, 0x40});
  g.push_back({0x015E, 7, 4, {}});
  g.push_back({0x00DE, 9, 4, {}});
  g.push_back({0x00E9, 5, 4, {}});
  return g;
}

}  // namespace fonts_test
