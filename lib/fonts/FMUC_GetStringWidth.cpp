#include "lib/fonts/internal.h"

uint32_t FMUC_GetStringWidth(const char* text, FontDataUC* font) {
  if (text == nullptr || font == nullptr) return 0;
  uint32_t width = 0;
  while (*text != 0) {
    uint8_t n = 1;
    const GlyphDataUC* glyph = FMUC_GetGlyphData(font, text, &n);
    if (glyph != nullptr && !fonts_internal::facts(glyph)->mark) width += glyph->Width;
    text += n;
  }
  return width;
}
