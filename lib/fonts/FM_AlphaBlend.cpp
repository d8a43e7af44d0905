#include <cstring>

#include "lib/fonts/fonts.h"

namespace {

// int(float(v) * factor) as IEEE single precision gives it, with a product
// outside (-1, 256) or NaN saturating to 255, worked out on the factor's bits:
// the receiver's processor may have no floating-point unit.
uint8_t ScaleByFactor(uint32_t v, float factor) {
  uint32_t bits;
  memcpy(&bits, &factor, sizeof bits);
  bool negative = (bits >> 31) != 0;
  int32_t exponent = int32_t(bits >> 23 & 0xFFu);
  uint32_t mantissa = bits & 0x7FFFFFu;
  if (exponent == 0xFF) return 255;  // infinity or NaN, times anything
  if (v == 0 || (exponent == 0 && mantissa == 0)) return 0;
  if (exponent == 0)
    exponent = 1;  // subnormal: no hidden bit
  else
    mantissa |= 0x800000u;
  // v < 2^8 and mantissa < 2^24: the product is exact, then rounded to 24
  // significant bits, to nearest and ties to even, as the multiplication does.
  uint64_t product = uint64_t(v) * mantissa;
  int width = 0;
  while ((product >> width) != 0) ++width;
  if (width > 24) {
    int drop = width - 24;
    uint64_t rest = product & ((uint64_t(1) << drop) - 1);
    uint64_t half = uint64_t(1) << (drop - 1);
    product >>= drop;
    if (rest > half || (rest == half && (product & 1) != 0)) ++product;
    product <<= drop;
  }
  // The value is product * 2^(exponent - 150); its whole part decides.
  int shift = exponent - 150;
  uint64_t whole;
  if (shift >= 0)
    whole = shift > 8 ? 256 : product << shift;
  else
    whole = -shift >= 64 ? 0 : product >> -shift;
  if (negative) return whole >= 1 ? 255 : 0;
  return whole >= 256 ? 255 : uint8_t(whole);
}

}  // namespace

uint8_t FM_AlphaBlend(uint8_t a, uint8_t f, uint8_t b, float colourFactor) {
  if (a == 0) return b;
  if (a == 255) return f;
  // Division by 256, not 255: the receiver's look is made this way.
  uint32_t v = ((255u - a) * b + uint32_t(a) * f) >> 8;
  return ScaleByFactor(v, colourFactor);
}
