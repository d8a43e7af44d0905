#include "lib/text/text.h"

int isLegalChar(const char* p, uint32_t mask) {
  if (!p) return 0;
  uint8_t c = (uint8_t)*p;
  if (mask & LC_Control) {
    if (c < 0x20 && c != 0x0A) return 0;
    // 0x8A is the broadcast line break: rule 2 decides on it.
    if (c >= 0x7F && c <= 0x9F && c != 0x80 && c != 0x8A && c != 0x91 && c != 0x92) return 0;
  }
  if ((mask & LC_LineBreak) && (c == 0x0A || c == 0x8A)) return 0;
  if (mask & LC_FileName) {
    switch (c) {
      case '"':
      case '*':
      case '/':
      case ':':
      case '<':
      case '>':
      case '?':
      case '\\':
      case '|': return 0;
      default: break;
    }
  }
  if ((mask & LC_ASCII) && (c < 0x20 || c > 0x7E)) return 0;
  return 1;
}
