// JSON string literals for the state the page reads.
#include <cstdio>

#include "web/internal.h"

namespace emu::web {
namespace {

// The length of the well-formed UTF-8 sequence at text[i] (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF), 0 for none.
size_t utf8Length(const std::string& text, size_t i) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char c = at(i);
  size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (!n || i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((at(i + k) & 0xC0) != 0x80) return 0;
  unsigned char d = at(i + 1);
  if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d > 0x8F))
    return 0;
  return n;
}

}  // namespace

// The console carries the receiver's own 8-bit text beside UTF-8: a byte
// that starts no well-formed UTF-8 sequence is taken as ISO 8859-1, so the
// JSON is always valid UTF-8.
std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (size_t n = utf8Length(text, i)) {
      out.append(text, i, n);
      i += n - 1;
    } else if (c < 0xA0) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out + "\"";
}

}  // namespace emu::web
