#include "lib/text/internal.h"
#include "lib/text/text.h"

void GetStringEncoding(const char* text, int* is8bit, int* isUTF8) {
  int eight = 0, utf8 = 0;
  if (text) {
    const uint8_t* p = (const uint8_t*)SkipCharTableBytes(text);
    while (*p && !(eight && utf8)) {
      int n = text_internal::utf8Len(p);
      if (n > 1)
        utf8 = 1;
      else if (*p >= 0xA0)
        eight = 1;  // 0x80..0x9F alone are control codes, not letters
      p += n;
    }
  }
  if (is8bit) *is8bit = eight;
  if (isUTF8) *isUTF8 = utf8;
}
