#include "lib/log/log.h"
#include "platform/tap.h"

char* TimeFormat(uint32_t dateTime, uint32_t seconds, uint32_t code, char* out) {
  if (!out) return nullptr;
  uint16_t mjd = static_cast<uint16_t>(dateTime >> 16);
  int hour = (dateTime >> 8) & 0xFF;
  int minute = dateTime & 0xFF;
  int second = seconds & 0xFF;
  uint16_t year = 0;
  uint8_t month = 0, day = 0, weekday = 0;
  if (mjd != 0) TAP_ExtractMjd(mjd, &year, &month, &day, &weekday);
  switch (code) {
    case 1: TAP_SPrint(out, "%02d:%02d", hour, minute); break;
    case 2: TAP_SPrint(out, "%02d:%02d:%02d", hour, minute, second); break;
    case 3: TAP_SPrint(out, "%02d-%02d-%02d", year, month, day); break;
    case 4: TAP_SPrint(out, "%04d-%02d-%02d %02d:%02d", year, month, day, hour, minute); break;
    case 5: TAP_SPrint(out, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second); break;
    case 6: TAP_SPrint(out, "%04d%02d%02d_%02d%02d", year, month, day, hour, minute); break;
    default: out[0] = '\0'; break;
  }
  return out;
}
