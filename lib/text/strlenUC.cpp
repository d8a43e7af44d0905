#include "lib/text/internal.h"
#include "lib/text/text.h"

int strlenUC(const char* text) {
  if (!text) return 0;
  const uint8_t* p = (const uint8_t*)SkipCharTableBytes(text);
  int count = 0;
  // utf8Len never steps over a terminator, so the walk ends exactly on it.
  while (*p) {
    p += text_internal::utf8Len(p);
    count++;
  }
  return count;
}
