/* GCC's helper routines that the receiver's wget needs and that Debian's
   mipsel libgcc.a builds for MIPS32 release 2: the byte swaps (one wsbh
   instruction there, a call on release 1) and the conversion of a double to a
   64-bit integer (whose build moves the double with mthc1). Built for
   release 1 and linked before GCC's library, so its versions are not used. */
#include <stdint.h>
#include <string.h>

uint32_t __bswapsi2(uint32_t x);
uint64_t __bswapdi2(uint64_t x);
int64_t __fixdfdi(double a);

uint32_t __bswapsi2(uint32_t x) { return (x >> 24) | ((x >> 8) & 0xFF00u) | ((x << 8) & 0xFF0000u) | (x << 24); }

uint64_t __bswapdi2(uint64_t x) { return (uint64_t)__bswapsi2((uint32_t)x) << 32 | __bswapsi2((uint32_t)(x >> 32)); }

/* Truncates toward zero; a value out of range (or NaN) gives the limit of its
   sign, as the hardware conversion does. */
int64_t __fixdfdi(double a) {
  uint64_t bits;
  memcpy(&bits, &a, sizeof bits);
  int negative = (int)(bits >> 63);
  int exponent = (int)(bits >> 52 & 0x7FF);
  uint64_t mantissa = (bits & 0xFFFFFFFFFFFFFull) | 0x10000000000000ull;
  if (exponent < 1023) return 0;
  if (exponent >= 1023 + 63)
    return negative && !(exponent == 0x7FF && (bits & 0xFFFFFFFFFFFFFull)) ? INT64_MIN : INT64_MAX;
  int shift = exponent - 1075;
  uint64_t magnitude = shift >= 0 ? mantissa << shift : mantissa >> -shift;
  return negative ? (int64_t)(0 - magnitude) : (int64_t)magnitude;
}
