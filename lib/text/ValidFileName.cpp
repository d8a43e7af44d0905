#include "lib/text/internal.h"
#include "lib/text/text.h"

// The filtered text is cut once it holds this many bytes; a multi-byte
// character that straddles the mark is still copied whole.
static const uint32_t ValidFileName_Limit = 126;

char* ValidFileName(const char* src, uint32_t mask, char* dst, uint32_t dstSize) {
  if (!dst || dstSize == 0) return dst;
  uint32_t srcLen = 0;
  if (src)
    while (src[srcLen] && srcLen < dstSize) srcLen++;
  if (srcLen == 0 || srcLen >= dstSize) {
    dst[0] = 0;
    return dst;
  }

  // Besides the limit, never fill more than dstSize - 1 bytes, so the
  // terminator always fits, and never copy part of a character.
  uint32_t room = dstSize - 1, out = 0;
  const uint8_t* s = (const uint8_t*)src;
  while (*s && out < ValidFileName_Limit) {
    if (!isLegalChar((const char*)s, mask)) {
      s++;  // a rejected lead byte goes alone; its tail is judged byte by byte
      continue;
    }
    uint32_t n = (uint32_t)text_internal::utf8Len(s);
    if (out + n > room) break;
    for (uint32_t i = 0; i < n; i++) dst[out++] = (char)s[i];
    s += n;
  }
  dst[out] = 0;
  return dst;
}
