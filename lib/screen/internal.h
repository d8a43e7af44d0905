// Shared by the files of lib/screen.
#pragma once

#include <cstdint>

#include "platform/firmware.h"

namespace screen_internal {

// The region table entry of `rgn`, or null when the firmware lacks the
// table or the number lies beyond it.
const OsdRegionInfo* regionEntry(uint16_t rgn);

// The sum a + b as the range checks compare it: without wrapping, so a
// coordinate of -1 stays far out of range.
inline uint64_t sum(uint32_t a, uint32_t b) { return uint64_t(a) + uint64_t(b); }

}  // namespace screen_internal
