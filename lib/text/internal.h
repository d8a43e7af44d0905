// Shared by the files of lib/text: the inline forms of the character rules,
// so the conversion loop needs no call per byte.
#pragma once

#include <cstdint>

#include "lib/text/tables.h"

namespace text_internal {

inline bool isCont(uint8_t b) { return (b & 0xC0) == 0x80; }

// Length of the multi-byte character at p (2..4), or 1 when none starts there.
// Reads a following byte only while the ones before it were continuations.
inline int utf8Len(const uint8_t* p) {
  uint8_t b0 = p[0];
  if (b0 < 0xC0 || b0 > 0xF7) return 1;
  if (!isCont(p[1])) return 1;
  if (b0 < 0xE0) return 2;
  if (!isCont(p[2])) return 1;
  if (b0 < 0xF0) return 3;
  if (!isCont(p[3])) return 1;
  return 4;
}

// Bytes the selector at the start of text takes, cut short at a terminator.
// The second byte of a 0x10 selector is the table number's high byte, 0x00 in
// every real selector, so it is never taken as the terminator; a terminator
// in the third byte ends the text there.
inline int selectorLen(const uint8_t* p) {
  uint8_t b0 = p[0];
  if (b0 == 0x10) return p[2] == 0 ? 2 : 3;
  if (b0 == 0x1F) return p[1] == 0 ? 1 : 2;
  return (b0 >= 0x01 && b0 <= 0x1F) ? 1 : 0;
}

// UTF-8 of cp into out; returns the byte count.
inline int encode(uint32_t cp, uint8_t* out) {
  if (cp < 0x80) {
    out[0] = (uint8_t)cp;
    return 1;
  }
  if (cp < 0x800) {
    out[0] = (uint8_t)(0xC0 | ((cp >> 6) & 0x1F));
    out[1] = (uint8_t)(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = (uint8_t)(0xE0 | ((cp >> 12) & 0x0F));
    out[1] = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
    out[2] = (uint8_t)(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = (uint8_t)(0xF0 | ((cp >> 18) & 0x07));
  out[1] = (uint8_t)(0x80 | ((cp >> 12) & 0x3F));
  out[2] = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
  out[3] = (uint8_t)(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace text_internal
