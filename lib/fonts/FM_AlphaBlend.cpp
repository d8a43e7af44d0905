#include "lib/fonts/fonts.h"

uint8_t FM_AlphaBlend(uint8_t a, uint8_t f, uint8_t b, float colourFactor) {
  if (a == 0) return b;
  if (a == 255) return f;
  // Division by 256, not 255: the receiver's look is made this way.
  uint32_t v = ((255u - a) * b + uint32_t(a) * f) >> 8;
  float scaled = float(v) * colourFactor;
  // Out of range, NaN included, saturates.
  if (!(scaled > -1.0f && scaled < 256.0f)) return 255;
  return uint8_t(int(scaled));
}
