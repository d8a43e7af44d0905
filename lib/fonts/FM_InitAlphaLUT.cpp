#include "lib/fonts/fonts.h"

uint8_t AlphaLUT[256][3];

void FM_InitAlphaLUT(uint32_t foreground, uint32_t background, float colourFactor) {
  for (int a = 0; a < 255; ++a) {
    AlphaLUT[a][0] = FM_AlphaBlend(uint8_t(a), uint8_t(foreground >> 16), uint8_t(background >> 16), colourFactor);
    AlphaLUT[a][1] = FM_AlphaBlend(uint8_t(a), uint8_t(foreground >> 8), uint8_t(background >> 8), colourFactor);
    AlphaLUT[a][2] = FM_AlphaBlend(uint8_t(a), uint8_t(foreground), uint8_t(background), colourFactor);
  }
}
