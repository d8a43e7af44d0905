#include "lib/fonts/fonts.h"
#include "platform/tap.h"

void FMUC_FreeMemory(const char* /*owner: not used*/, void* block) {
  if (block == nullptr) return;
  if (FMUC_MemoryRecord* record = FMUC_MemoryFindPointer(block)) {
    record->Size = 0;
    record->Block = nullptr;
  }
  TAP_MemFree(block);
}
