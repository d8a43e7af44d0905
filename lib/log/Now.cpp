#include "lib/log/log.h"
#include "platform/tap.h"

uint32_t Now(uint8_t* seconds) {
  uint16_t mjd = 0;
  uint8_t hour = 0, minute = 0, own = 0;
  TAP_GetTime(&mjd, &hour, &minute, seconds ? seconds : &own);
  return static_cast<uint32_t>(mjd) << 16 | static_cast<uint32_t>(hour) << 8 | minute;
}
