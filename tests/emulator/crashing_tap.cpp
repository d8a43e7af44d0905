// A TAP that faults on purpose, for the emulator's crash guard: red writes
// through a null pointer, blue divides by zero; and for its watchdog: green
// loops for ever, yellow takes 2.5 s before it returns. Anything else is
// passed on.
#include <time.h>

#include <cstdint>

#include "platform/tap.h"

#define TAP_SECTION(name) extern "C" __attribute__((visibility("default"), used, section(name)))
TAP_SECTION("._tap_program_name") const char __tap_program_name__[64] = "Crashing";
TAP_SECTION("._tap_header") const unsigned char __tap_Header__[32] = {'K', 'R', 'U', 'X', 'M', 'I', 'P', 'S', 0x10};

namespace {

volatile int* volatile g_nowhere = nullptr;
volatile int g_zero = 0;

int crashingMain() { return 1; }

// Named, and kept out of line, for the watchdog's stack.
__attribute__((noinline)) void spinForEver() {
  for (;;) g_zero = g_zero + 0;
}

__attribute__((noinline)) void takeLong() {
  timespec t{2, 500000000};
  while (nanosleep(&t, &t) != 0) {
  }
}

uint32_t crashingEvents(uint32_t event, uint32_t param1, uint32_t) {
  if (event == EVT_KEY && param1 == RKEY_Red) *g_nowhere = 1;
  if (event == EVT_KEY && param1 == RKEY_Blue) return param1 / static_cast<uint32_t>(g_zero);
  if (event == EVT_KEY && param1 == RKEY_Green) spinForEver();
  if (event == EVT_KEY && param1 == RKEY_Yellow) takeLong();
  return param1;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int __TAP_Init_(TAP_EntryRecord* record) {
  record->main = crashingMain;
  record->eventHandler = crashingEvents;
  return 0;
}
