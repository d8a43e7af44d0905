#include "lib/fonts/fonts.h"

int FMUC_IsDiacriticalMark(uint32_t cp) {
  if (cp >= 0x0300 && cp <= 0x036F) return 1;
  if (cp >= 0x0E34 && cp <= 0x0E3A) return 1;
  if (cp >= 0x0E47 && cp <= 0x0E4E) return 1;
  switch (cp) {
    case 0x00A8:
    case 0x00B4:
    case 0x00B8:
    case 0x0384:
    case 0x0385:
    case 0x0E31: return 1;
    default: return 0;
  }
}
