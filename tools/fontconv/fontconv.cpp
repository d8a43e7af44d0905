// fontconv: rasterises a TrueType or OpenType font with FreeType into a UFNT
// file for the TAP's font renderer.
//
// UFNT has no bearings and no baseline field: each glyph is drawn with its
// left column at the pen and its top row at the top of the line, and its
// width is also its advance. So every bitmap here is as high as the line,
// with the glyph placed on the common baseline, and as wide as its advance.
// Combining marks are the exception: the renderer centres them over the
// character before them, so their bitmaps hold just their ink.

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/ufnt.h"

namespace {

const char* const kUsage =
    "Usage: fontconv [options] --size PIXELS FONT OUTPUT.ufnt\n"
    "\n"
    "Rasterises the TrueType or OpenType FONT at PIXELS pixels per em into a\n"
    "UFNT font file for the TAP's anti-aliased text.\n"
    "\n"
    "Options:\n"
    "  -s, --size PIXELS      pixel size (em height), 4 to 200; required\n"
    "  -f, --fallback FONT    take characters that FONT lacks from this font,\n"
    "                         at the same pixel size and on the same baseline;\n"
    "                         may be given several times, tried in order\n"
    "  -c, --charset LIST     characters to convert: a comma-separated list of\n"
    "                         code points (U+20AC, 0x20AC or 8364), ranges\n"
    "                         (U+0400-U+04FF) and named sets; default: default\n"
    "      --strict           fail when a character is in none of the fonts\n"
    "                         (otherwise it is left out with a warning)\n"
    "  -v, --verbose          report which font each character came from\n"
    "  -h, --help             show this text\n"
    "\n"
    "Named sets: basic-latin (U+0020-U+007E), latin-1 (U+00A0-U+00FF),\n"
    "latin-ext-a (U+0100-U+017F), greek (U+0370-U+03FF), cyrillic\n"
    "(U+0400-U+04FF), combining (U+0300-U+036F), punctuation (U+2010-U+203A),\n"
    "iso6937 (every character the ISO/IEC 6937 table produces, euro sign\n"
    "included), default (all of these).\n";

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The marks that the renderer centres over their base character.
bool isMark(uint32_t cp) {
  return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x0E34 && cp <= 0x0E3A) || (cp >= 0x0E47 && cp <= 0x0E4E) ||
         cp == 0x00A8 || cp == 0x00B4 || cp == 0x00B8 || cp == 0x0384 || cp == 0x0385 || cp == 0x0E31;
}

void addRange(std::set<uint32_t>& set, uint32_t first, uint32_t last) {
  for (uint32_t cp = first; cp <= last; ++cp) set.insert(cp);
}

void addIso6937(std::set<uint32_t>& set) {
  // The upper half of ISO/IEC 6937 as the broadcast text conversion reads
  // it, besides Latin-1; the composed letters all lie in Latin-1.
  static const uint32_t extra[] = {0x20AC, 0x2018, 0x201C, 0x2190, 0x2191, 0x2192, 0x2193, 0x2019, 0x201D, 0x2015,
                                   0x2122, 0x266A, 0x215B, 0x215C, 0x215D, 0x215E, 0x2126, 0x0110, 0x0126, 0x0132,
                                   0x013F, 0x0141, 0x0152, 0x0166, 0x014A, 0x0149, 0x0138, 0x0111, 0x03B4, 0x0127,
                                   0x0131, 0x0133, 0x0140, 0x0142, 0x0153, 0x0167, 0x014B, 0x0300, 0x0301, 0x0302,
                                   0x0303, 0x0304, 0x0306, 0x0307, 0x0308, 0x030A, 0x0327, 0x030B, 0x0328, 0x030C};
  addRange(set, 0x20, 0x7E);
  addRange(set, 0xA0, 0xFF);
  for (uint32_t cp : extra) set.insert(cp);
}

bool addNamed(std::set<uint32_t>& set, const std::string& name) {
  if (name == "basic-latin")
    addRange(set, 0x20, 0x7E);
  else if (name == "latin-1")
    addRange(set, 0xA0, 0xFF);
  else if (name == "latin-ext-a")
    addRange(set, 0x100, 0x17F);
  else if (name == "greek") {
    addRange(set, 0x370, 0x3FF);
    for (uint32_t cp : {0x378u, 0x379u, 0x380u, 0x381u, 0x382u, 0x383u, 0x38Bu, 0x38Du, 0x3A2u}) set.erase(cp);
  } else if (name == "cyrillic")
    addRange(set, 0x400, 0x4FF);
  else if (name == "combining")
    addRange(set, 0x300, 0x36F);
  else if (name == "punctuation")
    addRange(set, 0x2010, 0x203A);
  else if (name == "iso6937")
    addIso6937(set);
  else if (name == "default") {
    for (const char* n :
         {"basic-latin", "latin-1", "latin-ext-a", "greek", "cyrillic", "combining", "punctuation", "iso6937"})
      addNamed(set, n);
  } else
    return false;
  return true;
}

uint32_t parseCodePoint(const std::string& text) {
  std::string digits = text;
  int base = 10;
  if (digits.rfind("U+", 0) == 0 || digits.rfind("u+", 0) == 0 || digits.rfind("0x", 0) == 0 ||
      digits.rfind("0X", 0) == 0) {
    digits = digits.substr(2);
    base = 16;
  }
  if (digits.empty() || digits.size() > 8) throw Error("bad code point '" + text + "'");
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(digits.c_str(), &end, base);
  if (*end != 0 || errno != 0 || value > 0x10FFFF) throw Error("bad code point '" + text + "'");
  return uint32_t(value);
}

std::set<uint32_t> parseCharset(const std::string& list) {
  std::set<uint32_t> set;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    start = comma == std::string::npos ? list.size() + 1 : comma + 1;
    if (item.empty()) throw Error("empty item in character set '" + list + "'");
    if (addNamed(set, item)) continue;
    size_t dash = item.find('-', 1);
    if (dash != std::string::npos) {
      uint32_t first = parseCodePoint(item.substr(0, dash)), last = parseCodePoint(item.substr(dash + 1));
      if (first > last) throw Error("range '" + item + "' runs backwards");
      addRange(set, first, last);
    } else {
      set.insert(parseCodePoint(item));
    }
  }
  // Control characters are never drawn; the renderer has no glyphs for them.
  std::erase_if(set, [](uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); });
  if (set.empty()) throw Error("the character set is empty");
  return set;
}

std::string hex(uint32_t cp) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", cp);
  return buffer;
}

class Library {
 public:
  Library() {
    if (FT_Init_FreeType(&lib_) != 0) throw Error("FreeType cannot be initialised");
  }
  ~Library() { FT_Done_FreeType(lib_); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  FT_Library get() const { return lib_; }

 private:
  FT_Library lib_ = nullptr;
};

class Face {
 public:
  Face(const Library& lib, const std::string& path, int pixels) : path_(path) {
    FT_Error e = FT_New_Face(lib.get(), path.c_str(), 0, &face_);
    if (e == FT_Err_Cannot_Open_Resource) throw Error("cannot open font '" + path + "'");
    if (e == FT_Err_Unknown_File_Format) throw Error("'" + path + "' is not a font FreeType can read");
    if (e != 0) throw Error("cannot load font '" + path + "' (FreeType error " + std::to_string(e) + ")");
    if (!FT_IS_SCALABLE(face_)) throw Error("'" + path + "' is not a scalable font");
    if (FT_Select_Charmap(face_, FT_ENCODING_UNICODE) != 0) throw Error("'" + path + "' has no Unicode character map");
    if (FT_Set_Pixel_Sizes(face_, 0, FT_UInt(pixels)) != 0)
      throw Error("'" + path + "' cannot be set to " + std::to_string(pixels) + " pixels");
  }
  ~Face() { FT_Done_Face(face_); }
  Face(const Face&) = delete;
  Face& operator=(const Face&) = delete;
  FT_Face get() const { return face_; }
  const std::string& path() const { return path_; }
  bool has(uint32_t cp) const { return FT_Get_Char_Index(face_, cp) != 0; }

 private:
  FT_Face face_ = nullptr;
  std::string path_;
};

struct Glyph {
  uint32_t cp;
  uint16_t width, height;
  std::vector<uint8_t> coverage;
};

// Renders cp from face into a cell as high as the line, with the baseline
// `ascent` rows from the top.
Glyph render(const Face& face, uint32_t cp, int ascent, int lineHeight, int& clippedRows) {
  FT_Face f = face.get();
  if (FT_Load_Char(f, cp, FT_LOAD_DEFAULT) != 0 || FT_Render_Glyph(f->glyph, FT_RENDER_MODE_NORMAL) != 0)
    throw Error("cannot render " + hex(cp) + " from '" + face.path() + "'");
  const FT_GlyphSlot slot = f->glyph;
  const FT_Bitmap& bm = slot->bitmap;
  if (bm.pixel_mode != FT_PIXEL_MODE_GRAY && bm.rows != 0) throw Error("FreeType gave no grey bitmap for " + hex(cp));

  int advance = int((slot->advance.x + 32) >> 6);
  int left = slot->bitmap_left;
  int inkWidth = int(bm.width);
  int width;
  if (isMark(cp)) {
    // Centred over the base by the renderer: keep the ink alone.
    left = 0;
    width = inkWidth;
  } else {
    // A glyph that starts left of its pen position is moved right by those
    // columns, and one that overhangs its advance widens its cell: no ink
    // is lost, at the price of a pixel of spacing.
    if (left < 0) left = 0;
    width = std::max(advance, left + inkWidth);
  }
  if (width > 0xFFFF || lineHeight > 0xFFFF) throw Error(hex(cp) + " is too large for UFNT");

  Glyph g{cp, uint16_t(width), uint16_t(lineHeight), std::vector<uint8_t>(size_t(width) * lineHeight, 0)};
  int top = ascent - slot->bitmap_top;
  for (unsigned r = 0; r < bm.rows; ++r) {
    int row = top + int(r);
    if (row < 0 || row >= lineHeight) {
      ++clippedRows;
      continue;
    }
    const unsigned char* src = bm.buffer + ptrdiff_t(r) * bm.pitch;
    for (unsigned c = 0; c < bm.width; ++c) g.coverage[size_t(row) * width + left + c] = src[c];
  }
  return g;
}

// Appends the bytes of a layout struct (formats/ufnt.h: little-endian, no padding).
template <typename T>
void putStruct(std::string& out, const T& value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string encode(const std::vector<Glyph>& glyphs) {
  std::string out;
  UFNT_Header header{};
  std::memcpy(header.Magic, UFNT_Magic, sizeof header.Magic);
  if (glyphs.size() > size_t(INT32_MAX)) throw Error("too many glyphs for UFNT");
  header.FontDefCount = int32_t(glyphs.size());
  putStruct(out, header);
  uint64_t offset = UFNT_TableEnd(glyphs.size());
  for (const Glyph& g : glyphs) {
    if (offset > 0xFFFFFFFFu) throw Error("the font is too large for UFNT's 32-bit offsets");
    putStruct(out, FontDefUC{g.cp, uint32_t(offset), g.width, g.height});
    offset += g.coverage.size();
  }
  for (const Glyph& g : glyphs) out.append(reinterpret_cast<const char*>(g.coverage.data()), g.coverage.size());
  return out;
}

struct Options {
  int pixels = 0;
  std::string font, output;
  std::vector<std::string> fallbacks;
  std::string charset = "default";
  bool strict = false, verbose = false;
};

Options parseArgs(int argc, char** argv) {
  Options o;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      size_t eq = a.find('=');
      if (a.rfind("--", 0) == 0 && eq != std::string::npos) return a.substr(eq + 1);
      if (i + 1 >= argc) throw Error("option " + a + " needs a value");
      return argv[++i];
    };
    auto is = [&](const char* shortName, const char* longName) {
      return a == shortName || a == longName || a.rfind(std::string(longName) + "=", 0) == 0;
    };
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (is("-s", "--size")) {
      std::string v = value();
      char* end = nullptr;
      long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != 0 || n < 4 || n > 200) throw Error("the pixel size must be 4 to 200, not '" + v + "'");
      o.pixels = int(n);
    } else if (is("-f", "--fallback")) {
      o.fallbacks.push_back(value());
    } else if (is("-c", "--charset")) {
      o.charset = value();
    } else if (a == "--strict") {
      o.strict = true;
    } else if (a == "-v" || a == "--verbose") {
      o.verbose = true;
    } else if (a.size() > 1 && a[0] == '-') {
      throw Error("unknown option '" + a + "'");
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) throw Error("expected a font and an output file");
  if (o.pixels == 0) throw Error("--size is required");
  o.font = positional[0];
  o.output = positional[1];
  return o;
}

int run(int argc, char** argv) {
  Options o = parseArgs(argc, argv);
  std::set<uint32_t> charset = parseCharset(o.charset);

  Library lib;
  std::vector<std::unique_ptr<Face>> faces;
  faces.push_back(std::make_unique<Face>(lib, o.font, o.pixels));
  for (const std::string& path : o.fallbacks) faces.push_back(std::make_unique<Face>(lib, path, o.pixels));

  // Which font gives each character: the first that has it.
  std::vector<std::pair<uint32_t, const Face*>> plan;
  std::vector<uint32_t> missing;
  for (uint32_t cp : charset) {
    const Face* source = nullptr;
    for (const auto& face : faces)
      if (face->has(cp)) {
        source = face.get();
        break;
      }
    if (source == nullptr)
      missing.push_back(cp);
    else
      plan.emplace_back(cp, source);
  }

  // The line: the first font's ascender and descender at this size, widened
  // to the ink of every glyph, so that accented capitals and descenders are
  // never cut (UFNT cannot draw outside a glyph's cell).
  const FT_Size_Metrics& m = faces[0]->get()->size->metrics;
  int ascent = int((m.ascender + 63) >> 6);
  int descent = int((-m.descender + 63) >> 6);
  for (const auto& [cp, face] : plan) {
    if (FT_Load_Char(face->get(), cp, FT_LOAD_DEFAULT) != 0) continue;
    FT_GlyphSlot slot = face->get()->glyph;
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0 || slot->bitmap.rows == 0) continue;
    ascent = std::max(ascent, slot->bitmap_top);
    descent = std::max(descent, int(slot->bitmap.rows) - slot->bitmap_top);
  }
  int lineHeight = ascent + descent;
  if (lineHeight <= 0) throw Error("'" + o.font + "' has no usable line height");

  std::vector<Glyph> glyphs;
  std::map<std::string, int> perFont;
  int clippedRows = 0;
  for (const auto& [cp, source] : plan) {
    glyphs.push_back(render(*source, cp, ascent, lineHeight, clippedRows));
    ++perFont[source->path()];
    if (o.verbose) std::fprintf(stderr, "%s from %s\n", hex(cp).c_str(), source->path().c_str());
  }
  if (!missing.empty()) {
    std::string list;
    for (size_t i = 0; i < missing.size() && i < 20; ++i) list += (i ? " " : "") + hex(missing[i]);
    if (missing.size() > 20) list += " ...";
    std::fprintf(stderr, "fontconv: %s: %zu character(s) in none of the fonts: %s\n", o.strict ? "error" : "warning",
                 missing.size(), list.c_str());
    if (o.strict) return 1;
  }
  if (glyphs.empty()) throw Error("none of the characters is in the fonts");

  std::string data = encode(glyphs);
  std::string temp = o.output + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) throw Error("cannot write '" + temp + "': " + std::strerror(errno));
    out.write(data.data(), std::streamsize(data.size()));
    out.close();
    if (!out) throw Error("cannot write '" + temp + "'");
  }
  if (std::rename(temp.c_str(), o.output.c_str()) != 0) {
    std::remove(temp.c_str());
    throw Error("cannot write '" + o.output + "': " + std::strerror(errno));
  }
  if (o.verbose) {
    for (const auto& [path, n] : perFont) std::fprintf(stderr, "%d glyph(s) from %s\n", n, path.c_str());
    if (clippedRows) std::fprintf(stderr, "%d bitmap row(s) outside the line were cut\n", clippedRows);
  }
  std::printf("fontconv: wrote %s: %zu glyphs, %d pixels high, %zu bytes\n", o.output.c_str(), glyphs.size(),
              lineHeight, data.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const Error& e) {
    std::fprintf(stderr, "fontconv: %s\nTry 'fontconv --help'.\n", e.what());
    return 2;
  }
}
