// Ticks, delays, the date and time, and the firmware states.
#include <time.h>
#include <unistd.h>

#include "core/player_internal.h"

namespace emu {
namespace {

uint32_t g_virtualTicks = 0;
timespec g_start{};
uint32_t g_mainState = 0, g_subState = 0;
bool g_exit = false;
bool g_normal = true;

uint32_t realTicks() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t ms = (now.tv_sec - g_start.tv_sec) * 1000 + (now.tv_nsec - g_start.tv_nsec) / 1000000;
  return config().startTicks + static_cast<uint32_t>(ms / 10);
}

uint32_t tapGetTick() {
  uint32_t t = ticks();
  trace("TAP_GetTick() = %u", t);
  return t;
}

void tapDelay(uint32_t t) {
  trace("TAP_Delay(%u)", t);
  detail::waitTicks(t);
}

void tapSleep(uint32_t t) {
  trace("TAP_Sleep(%u)", t);
  detail::waitTicks(t);
}

// Days from 1858-11-17 (MJD 0) to a civil date, and back.
int64_t mjdFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468 + 40587;
}

void civilFromMjd(int64_t mjd, int64_t& y, unsigned& m, unsigned& d) {
  int64_t z = mjd - 40587 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

int tapGetTime(uint16_t* mjd, uint8_t* hour, uint8_t* minute, uint8_t* second) {
  time_t now = config().fixedTime ? config().fixedTime + (ticks() - config().startTicks) / 100 : time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  int64_t day = mjdFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  if (mjd) *mjd = static_cast<uint16_t>(day);
  if (hour) *hour = static_cast<uint8_t>(local.tm_hour);
  if (minute) *minute = static_cast<uint8_t>(local.tm_min);
  if (second) *second = static_cast<uint8_t>(local.tm_sec);
  trace("TAP_GetTime() = 1 (MJD %lld, %02d:%02d:%02d)", static_cast<long long>(day), local.tm_hour, local.tm_min,
        local.tm_sec);
  return 1;
}

void tapExtractMjd(uint16_t mjd, uint16_t* year, uint8_t* month, uint8_t* day, uint8_t* weekday) {
  int64_t y;
  unsigned m, d;
  civilFromMjd(mjd, y, m, d);
  if (year) *year = static_cast<uint16_t>(y);
  if (month) *month = static_cast<uint8_t>(m);
  if (day) *day = static_cast<uint8_t>(d);
  // MJD 0 was a Wednesday; weekday 0 is Monday.
  if (weekday) *weekday = static_cast<uint8_t>((mjd + 2) % 7);
  trace("TAP_ExtractMjd(%u) = %04lld-%02u-%02u", mjd, static_cast<long long>(y), m, d);
}

uint32_t tapGetSystemId() {
  trace("TAP_GetSystemId() = %u", config().systemId);
  return config().systemId;
}

uint32_t tapGetVersion() {
  trace("TAP_GetVersion() = 0x%X", config().version);
  return config().version;
}

void tapGetState(uint32_t* mainState, uint32_t* subState) {
  if (mainState) *mainState = g_mainState;
  if (subState) *subState = g_subState;
  trace("TAP_GetState() = main %u, sub %u", g_mainState, g_subState);
}

void tapEnterNormal() {
  g_normal = true;
  trace("TAP_EnterNormal()");
}

void tapExitNormal() {
  g_normal = false;
  trace("TAP_ExitNormal()");
}

void tapExit() {
  g_exit = true;
  trace("TAP_Exit()");
}

}  // namespace

uint32_t ticks() { return config().virtualClock ? g_virtualTicks : realTicks(); }

void advanceTicks(uint32_t t) {
  if (!config().virtualClock) return;
  g_virtualTicks += t;
  detail::playerPump();
}

void setState(uint32_t mainState, uint32_t subState) {
  g_mainState = mainState;
  g_subState = subState;
}
bool exitRequested() { return g_exit; }
bool normalMode() { return g_normal; }

namespace detail {

void waitTicks(uint32_t t) {
  if (config().virtualClock) {
    g_virtualTicks += t;
    playerPump();
    return;
  }
  // The player decodes while the firmware waits, a tick at a time.
  uint32_t until = realTicks() + t;
  for (;;) {
    playerPump();
    uint32_t now = realTicks();
    if (static_cast<int32_t>(until - now) <= 0) break;
    usleep(10000);
  }
}

void resetClock() {
  g_virtualTicks = config().startTicks;
  clock_gettime(CLOCK_MONOTONIC, &g_start);
  g_mainState = g_subState = 0;
  g_exit = false;
  g_normal = true;
  TAP_GetTick = tapGetTick;
  TAP_Delay = tapDelay;
  TAP_Sleep = tapSleep;
  TAP_GetTime = tapGetTime;
  TAP_ExtractMjd = tapExtractMjd;
  TAP_GetSystemId = tapGetSystemId;
  TAP_GetVersion = tapGetVersion;
  TAP_GetState = tapGetState;
  TAP_EnterNormal = tapEnterNormal;
  TAP_ExitNormal = tapExitNormal;
  TAP_Exit = tapExit;
}

}  // namespace detail
}  // namespace emu
