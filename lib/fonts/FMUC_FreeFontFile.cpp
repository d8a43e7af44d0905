#include <unistd.h>

#include <cstring>

#include "lib/fonts/fonts.h"

void FMUC_FreeFontFile(FontDataUC* font) {
  if (font == nullptr) return;
  if (font->GlyphCache != nullptr) {
    for (int32_t i = 0; i < font->GlyphCacheCount; ++i)
      if (font->GlyphCache[i].GlyphData != nullptr) FMUC_FreeMemory("FMUC_FreeFontFile", font->GlyphCache[i].GlyphData);
    FMUC_FreeMemory("FMUC_FreeFontFile", font->GlyphCache);
  }
  if (font->FontDef != nullptr) FMUC_FreeMemory("FMUC_FreeFontFile", font->FontDef);
  // A failed open leaves a negative descriptor, which is not ours to close.
  if (font->FileHandle > 0) close(font->FileHandle);
  memset(font, 0, sizeof *font);
}
