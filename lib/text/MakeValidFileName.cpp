#include "lib/text/text.h"

void MakeValidFileName(char* text, uint32_t mask) {
  if (!text) return;
  char buffer[512];
  ValidFileName(text, mask, buffer, sizeof(buffer));
  // The result is never longer than the text, so it fits where the text was.
  uint32_t i = 0;
  do {
    text[i] = buffer[i];
  } while (buffer[i++]);
}
