#include "lib/fonts/fonts.h"

FMUC_MemoryRecord* FMUC_MemoryFindFree(void) {
  for (FMUC_MemoryRecord& record : FMUC_Memory)
    if (record.Block == nullptr) return &record;
  return nullptr;
}
