#include "lib/firmware/fwaccess.h"
#include "lib/screen/internal.h"
#include "lib/screen/screen.h"

namespace screen_internal {

const OsdRegionInfo* regionEntry(uint16_t rgn) {
  OsdRegionInfo* table = FIS_vOsdMap();
  if (table == nullptr || rgn >= OSD_RegionTableSize) return nullptr;
  return &table[rgn];
}

}  // namespace screen_internal

uint32_t GetOSDRegionWidth(uint16_t rgn) {
  const OsdRegionInfo* entry = screen_internal::regionEntry(rgn);
  return entry ? entry->width : 0;
}
