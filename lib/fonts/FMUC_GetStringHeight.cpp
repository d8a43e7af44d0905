#include "lib/fonts/fonts.h"

uint32_t FMUC_GetStringHeight(const char* text, FontDataUC* font) {
  if (text == nullptr || font == nullptr) return 0;
  uint32_t height = 0;
  while (*text != 0) {
    uint8_t n = 1;
    const GlyphDataUC* glyph = FMUC_GetGlyphData(font, text, &n);
    if (glyph != nullptr && glyph->Height > height) height = glyph->Height;
    text += n;
  }
  return height;
}
