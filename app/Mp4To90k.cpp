// Track times to the 90 kHz clock of TS. The receiver's C library has no
// helpers for 64-bit division (libgcc's __udivdi3), so it is done here by
// shifts and subtractions.
#include "app/Mp4.h"

namespace mp4 {

namespace {

// n / d, with n % d into *remainder (d not 0).
uint64_t Divide(uint64_t n, uint32_t d, uint64_t* remainder) {
  uint64_t q = 0, r = 0;
  for (int bit = 63; bit >= 0; --bit) {
    r = r << 1 | ((n >> bit) & 1u);
    if (r >= d) {
      r -= d;
      q |= uint64_t{1} << bit;
    }
  }
  *remainder = r;
  return q;
}

}  // namespace

int64_t To90k(uint64_t time, uint32_t timescale) {
  if (timescale == 90000) return static_cast<int64_t>(time);
  uint64_t rest = 0, unused = 0;
  uint64_t seconds = Divide(time, timescale, &rest);
  return static_cast<int64_t>(seconds * 90000u + Divide(rest * 90000u, timescale, &unused));
}

}  // namespace mp4
