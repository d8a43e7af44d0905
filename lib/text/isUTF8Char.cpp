#include "lib/text/internal.h"
#include "lib/text/text.h"

int isUTF8Char(const char* p, uint8_t* len) {
  int n = p ? text_internal::utf8Len((const uint8_t*)p) : 1;
  if (len) *len = (uint8_t)n;
  return n > 1;
}
