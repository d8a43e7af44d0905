#include "lib/fonts/fonts.h"
#include "platform/tap.h"

void* FMUC_ReserveMemory(const char* /*owner: not stored*/, uint32_t size) {
  void* block = TAP_MemAlloc(size);
  if (block == nullptr) return nullptr;
  // A full ledger only loses the diagnostics, never the block.
  if (FMUC_MemoryRecord* record = FMUC_MemoryFindFree()) {
    record->Size = size;
    record->Block = block;
  }
  return block;
}
