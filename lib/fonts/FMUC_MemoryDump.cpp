#include "lib/fonts/fonts.h"

void FMUC_MemoryDump(uint32_t* count, uint32_t* totalSize) {
  uint32_t n = 0, sum = 0;
  for (const FMUC_MemoryRecord& record : FMUC_Memory) {
    if (record.Block == nullptr) continue;
    ++n;
    sum += record.Size;
  }
  if (count) *count = n;
  if (totalSize) *totalSize = sum;
}
