#include <cstdio>

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
  // Each field in its own width (a valid time has no more digits), so the
  // longest pattern always fits TimeFormatSize.
  hour %= 100;
  minute %= 100;
  second %= 100;
  int y = year % 10000, mo = month % 100, d = day % 100;
  switch (code) {
    case 1: snprintf(out, TimeFormatSize, "%02d:%02d", hour, minute); break;
    case 2: snprintf(out, TimeFormatSize, "%02d:%02d:%02d", hour, minute, second); break;
    case 3: snprintf(out, TimeFormatSize, "%02d-%02d-%02d", y, mo, d); break;
    case 4: snprintf(out, TimeFormatSize, "%04d-%02d-%02d %02d:%02d", y, mo, d, hour, minute); break;
    case 5: snprintf(out, TimeFormatSize, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, hour, minute, second); break;
    case 6: snprintf(out, TimeFormatSize, "%04d%02d%02d_%02d%02d", y, mo, d, hour, minute); break;
    default: out[0] = '\0'; break;
  }
  return out;
}
