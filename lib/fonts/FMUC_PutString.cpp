#include "lib/fonts/fonts.h"

void FMUC_PutString(uint16_t rgn, uint32_t x, uint32_t y, uint32_t maxX, const char* text, uint32_t foreground,
                    uint32_t background, FontDataUC* font, uint8_t truncation, uint8_t align) {
  FMUC_PutStringAA(rgn, x, y, maxX, text, foreground, background, font, truncation, align, 1.0f);
}
