#include "lib/screen/internal.h"
#include "lib/screen/screen.h"

uint32_t GetOSDRegionHeight(uint16_t rgn) {
  const OsdRegionInfo* entry = screen_internal::regionEntry(rgn);
  return entry ? entry->height : 0;
}
