#include "lib/text/internal.h"
#include "lib/text/text.h"

int UTF32ToUTF8(uint32_t cp, char* out, uint8_t* len) {
  uint8_t scratch[4];
  int n = text_internal::encode(cp, out ? (uint8_t*)out : scratch);
  if (len) *len = (uint8_t)n;
  return n;
}
