#include "lib/text/internal.h"
#include "lib/text/text.h"

char* GetUCPos(const char* text, int pos) {
  if (!text) return nullptr;
  const uint8_t* p = (const uint8_t*)SkipCharTableBytes(text);
  while (pos > 0 && *p) {
    p += text_internal::utf8Len(p);
    pos--;
  }
  return (char*)p;
}
