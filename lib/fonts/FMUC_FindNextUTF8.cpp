#include "lib/fonts/fonts.h"

char* FMUC_FindNextUTF8(const char* p) {
  if (p == nullptr) return nullptr;
  if (*p != 0) ++p;  // never past the terminator
  while ((uint8_t(*p) & 0xC0) == 0x80) ++p;
  return const_cast<char*>(p);
}
