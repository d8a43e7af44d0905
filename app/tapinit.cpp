// Registration with the firmware and the hooks the language run-time expects.
#include "app/orvado.h"

extern "C" __attribute__((visibility("default"))) int __TAP_Init_(TAP_EntryRecord* record) {
  record->main = TAP_Main;
  record->eventHandler = TAP_EventHandler;
  return 0;
}

// Never returns: the firmware has no process to end.
extern "C" __attribute__((noreturn)) void abort(void) noexcept {
  for (;;) TAP_Sleep(1000);
}

extern "C" void* __builtin_new(int size) {
  TAP_Print("__builtin_new. size=%d\n", size);
  return TAP_MemAlloc(static_cast<uint32_t>(size));
}
