#include "lib/fonts/fonts.h"

uint32_t FM_AlphaBlendRGB(uint8_t a, uint32_t foreground, uint32_t background, float colourFactor) {
  uint32_t r = FM_AlphaBlend(a, uint8_t(foreground >> 16), uint8_t(background >> 16), colourFactor);
  uint32_t g = FM_AlphaBlend(a, uint8_t(foreground >> 8), uint8_t(background >> 8), colourFactor);
  uint32_t b = FM_AlphaBlend(a, uint8_t(foreground), uint8_t(background), colourFactor);
  return r << 16 | g << 8 | b;
}
