// Shared by the firmware accessors.
#pragma once

#include "lib/firmware/fwaccess.h"

// Returns *cache, or looks `name` up and keeps the answer, null included, so
// that a missing symbol is looked up again next time.
static inline void* FIS_Cached(void** cache, const char* name) {
  if (*cache) return *cache;
  *cache = TryResolve(name);
  return *cache;
}
