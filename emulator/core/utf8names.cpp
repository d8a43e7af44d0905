// The firmware's file-name conversion: bytes that do not form UTF-8 are read
// as Latin-1 and re-encoded, within the buffer's length.
#include <cstring>
#include <string>

#include "core/internal.h"

namespace emu::detail {

int fwConvertToValidUTF8Str(unsigned char* text, int length) {
  if (!text || length <= 0) return 0;
  std::string in(reinterpret_cast<char*>(text), strnlen(reinterpret_cast<char*>(text), static_cast<size_t>(length)));
  std::string out;
  for (size_t i = 0; i < in.size();) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    bool valid = n > 0 && i + n <= in.size();
    for (size_t k = 1; valid && k < n; ++k) valid = (static_cast<unsigned char>(in[i + k]) & 0xC0) == 0x80;
    if (valid) {
      out.append(in, i, n);
      i += n;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
      ++i;
    }
  }
  size_t keep = std::min(out.size(), static_cast<size_t>(length - 1));
  out.copy(reinterpret_cast<char*>(text), keep);
  text[keep] = 0;
  trace("Appl_ConvertToValidUTF8Str(%s, %d) = %zu", quote(reinterpret_cast<char*>(text)).c_str(), length, keep);
  return static_cast<int>(keep);
}

}  // namespace emu::detail
