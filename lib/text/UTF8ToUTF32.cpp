#include "lib/text/internal.h"
#include "lib/text/text.h"

uint32_t UTF8ToUTF32(const char* p, uint8_t* len) {
  if (!p) {
    if (len) *len = 1;
    return 0;
  }
  const uint8_t* b = (const uint8_t*)p;
  int n = text_internal::utf8Len(b);
  uint32_t cp;
  switch (n) {
    case 2: cp = (uint32_t)(b[0] & 0x1F) << 6 | (b[1] & 0x3F); break;
    case 3: cp = (uint32_t)(b[0] & 0x0F) << 12 | (uint32_t)(b[1] & 0x3F) << 6 | (b[2] & 0x3F); break;
    case 4:
      cp = (uint32_t)(b[0] & 0x07) << 18 | (uint32_t)(b[1] & 0x3F) << 12 | (uint32_t)(b[2] & 0x3F) << 6 | (b[3] & 0x3F);
      break;
    default: cp = b[0]; break;  // ASCII, or an 8-bit byte read as Latin-1
  }
  if (len) *len = (uint8_t)n;
  return cp;
}
