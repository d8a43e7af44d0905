#include "lib/fonts/fonts.h"

FMUC_MemoryRecord* FMUC_MemoryFindPointer(const void* block) {
  for (FMUC_MemoryRecord& record : FMUC_Memory)
    if (record.Block == block) return &record;
  return nullptr;
}
