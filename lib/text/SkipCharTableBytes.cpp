#include "lib/text/internal.h"
#include "lib/text/text.h"

char* SkipCharTableBytes(const char* text) {
  if (!text) return nullptr;
  return (char*)text + text_internal::selectorLen((const uint8_t*)text);
}
