#include "lib/fonts/internal.h"

uint8_t AlphaLUT[256][3];
uint32_t fonts_internal::PackedAlphaLUT[256];

namespace {

// The colours the tables were last built for: drawing calls rebuild them for
// every line, and a menu draws line after line in the same colours.
bool g_built = false;
uint32_t g_foreground, g_background;
uint32_t g_factor;  // its bits: compared without floating-point arithmetic

}  // namespace

void FM_InitAlphaLUT(uint32_t foreground, uint32_t background, float colourFactor) {
  uint32_t factor = fonts_internal::FactorBits(colourFactor);
  if (g_built && foreground == g_foreground && background == g_background && factor == g_factor) return;
  uint32_t alpha = foreground & 0xFF000000u;
  for (int a = 0; a < 255; ++a) {
    AlphaLUT[a][0] = FM_AlphaBlend(uint8_t(a), uint8_t(foreground >> 16), uint8_t(background >> 16), colourFactor);
    AlphaLUT[a][1] = FM_AlphaBlend(uint8_t(a), uint8_t(foreground >> 8), uint8_t(background >> 8), colourFactor);
    AlphaLUT[a][2] = FM_AlphaBlend(uint8_t(a), uint8_t(foreground), uint8_t(background), colourFactor);
    fonts_internal::PackedAlphaLUT[a] =
        alpha | uint32_t(AlphaLUT[a][0]) << 16 | uint32_t(AlphaLUT[a][1]) << 8 | AlphaLUT[a][2];
  }
  fonts_internal::PackedAlphaLUT[255] = foreground;
  g_built = true;
  g_foreground = foreground;
  g_background = background;
  g_factor = factor;
}
