#include "lib/log/log.h"
#include "lib/screen/internal.h"
#include "lib/screen/screen.h"
#include "platform/tap.h"

using screen_internal::sum;

int TAP_Osd_FillBox_Chk(const char* tag, uint16_t rgn, uint32_t x, uint32_t y, uint32_t w, uint32_t h,
                        uint32_t colour) {
  if (tag != nullptr) {
    uint32_t rgnW = GetOSDRegionWidth(rgn), rgnH = GetOSDRegionHeight(rgn);
    if (!isOSDRegionAlive(rgn))
      LogEntryZindraPrintf(1, "TAP_Osd_FillBox_Chk Warning: rgn(%d) points to an undefined region @ %s", int(rgn), tag);
    if (x >= rgnW) LogEntryZindraPrintf(1, "TAP_Osd_FillBox_Chk Warning: x(%d) out of range @ %s", int(x), tag);
    if (y >= rgnH) LogEntryZindraPrintf(1, "TAP_Osd_FillBox_Chk Warning: y(%d) out of range @ %s", int(y), tag);
    if (sum(x, w) > rgnW)
      LogEntryZindraPrintf(1, "TAP_Osd_FillBox_Chk Warning: x(%d) + w(%d) out of range @ %s", int(x), int(w), tag);
    if (sum(y, h) > rgnH)
      LogEntryZindraPrintf(1, "TAP_Osd_FillBox_Chk Warning: y(%d) + h(%d) out of range @ %s", int(y), int(h), tag);
  }
  int result = TAP_Osd_FillBox(rgn, x, y, w, h, colour);
  if (tag != nullptr && result != 0)
    LogEntryZindraPrintf(1, "TAP_Osd_FillBox_Chk Warning: TAP_Osd_FillBox() returned %d @ %s", result, tag);
  return result;
}
