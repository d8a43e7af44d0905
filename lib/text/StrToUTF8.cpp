#include <cstring>

#include "lib/log/log.h"
#include "lib/text/internal.h"
#include "lib/text/text.h"

static const uint16_t* StrToUTF8_table(uint8_t number) {
  switch (number) {
    case 1: return UTFLookupISO8859_1;
    case 2: return UTFLookupISO8859_2;
    case 3: return UTFLookupISO8859_3;
    case 4: return UTFLookupISO8859_4;
    case 5: return UTFLookupISO8859_5;
    case 6: return UTFLookupISO8859_6;
    case 7: return UTFLookupISO8859_7;
    case 8: return UTFLookupISO8859_8;
    case 9: return UTFLookupISO8859_9;
    case 10: return UTFLookupISO8859_10;
    case 11: return UTFLookupISO8859_11;
    case 13: return UTFLookupISO8859_13;
    case 14: return UTFLookupISO8859_14;
    case 15: return UTFLookupISO8859_15;
    case 16: return UTFLookupISO8859_16;
    default: return UTFLookupISO6937;
  }
}

// The precomposed letter of mark + base, or null when the pair is not listed.
static const char* StrToUTF8_compose(uint8_t mark, uint8_t base) {
  for (int i = 0; i < ISO6937_CompositionCount; i++) {
    if ((uint8_t)ISO6937_CompositionKeys[3 * i] == mark && (uint8_t)ISO6937_CompositionKeys[3 * i + 1] == base)
      return &ISO6937_CompositionValues[3 * i];
  }
  return nullptr;
}

int StrToUTF8(const char* src, char* dst, uint32_t codeTableNumber) {
  if (!src || !dst) return 0;
  const uint8_t* s = (const uint8_t*)src;
  uint8_t* d = (uint8_t*)dst;
  if (*s == 0) {
    *d = 0;
    return 1;
  }

  uint8_t number = (uint8_t)codeTableNumber;
  uint8_t first = s[0];
  if (first == 0x15) {  // UTF-8 already
    s++;
    while ((*d++ = *s++) != 0) {
    }
    return 0;
  }
  if (first >= 0x01 && first <= 0x0B) number = (uint8_t)(first + 4);
  if (first == 0x10 && s[2] != 0) number = s[2];  // the second byte is not looked at
  s += text_internal::selectorLen(s);

  const uint16_t* table = StrToUTF8_table(number);
  bool compose = number == 0;
  int converted = 0;
  // Knowing where the text ends lets ASCII runs go eight bytes at a time
  // without reading behind the terminator.
  const uint8_t* end = s + strlen((const char*)s);
  while (s < end) {
    while (end - s >= 8) {
      uint64_t w;
      memcpy(&w, s, 8);
      uint64_t high = w & 0x8080808080808080ull;
      memcpy(d, &w, 8);  // the output has room: 3 bytes for each source byte left
      if (high == 0) {
        s += 8;
        d += 8;
        continue;
      }
      // Counted in 32-bit halves: a 64-bit count is a helper call on the
      // receiver, and its helpers are built for newer processors.
      uint32_t lowHalf = uint32_t(high), highHalf = uint32_t(high >> 32);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      int ascii = (lowHalf != 0 ? __builtin_ctz(lowHalf) : 32 + __builtin_ctz(highHalf)) >> 3;
#else
      int ascii = (highHalf != 0 ? __builtin_clz(highHalf) : 32 + __builtin_clz(lowHalf)) >> 3;
#endif
      s += ascii;
      d += ascii;
      break;
    }
    if (s >= end) break;
    uint8_t p = *s;
    if (p < 0x80) {
      *d++ = p;
      s++;
      continue;
    }
    int n = text_internal::utf8Len(s);
    if (n > 1) {
      for (int i = 0; i < n; i++) *d++ = s[i];
      s += n;
      continue;
    }
    converted = 1;
    if (compose && p >= 0xC0 && p <= 0xCF) {
      uint8_t base = s[1];
      const char* letter = base ? StrToUTF8_compose(p, base) : nullptr;
      if (letter) {
        *d++ = (uint8_t)letter[0];
        *d++ = (uint8_t)letter[1];
      } else {
        LogEntryZindraPrintf(1, "StrToUTF8: ISO6937 diacritical char %2.2x %2.2x has been ignored", p, base);
      }
      if (!base) break;  // a mark at the very end: drop it, never step past the terminator
      s += 2;
      continue;
    }
    d += text_internal::encode(p < 0xA0 ? p : table[p - 0xA0], d);
    s++;
  }
  *d = 0;
  return converted;
}
