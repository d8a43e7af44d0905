#include "lib/fonts/fonts.h"

// No lower bound is known here: the caller makes sure that p lies behind a
// byte that is no continuation byte.
char* FMUC_FindUTF8Start(const char* p) {
  if (p == nullptr) return nullptr;
  while ((uint8_t(*p) & 0xC0) == 0x80) --p;
  return const_cast<char*>(p);
}
