#include "lib/log/log.h"
#include "lib/screen/internal.h"
#include "lib/screen/screen.h"
#include "platform/tap.h"

using screen_internal::sum;

int TAP_Osd_Create_Chk(const char* tag, uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t lutIdx, int flags) {
  if (tag != nullptr) {
    if (x >= OSD_ScreenWidth)
      LogEntryZindraPrintf(1, "TAP_Osd_Create_Chk Warning: x(%d) out of range @ %s", int(x), tag);
    if (y >= OSD_ScreenHeight)
      LogEntryZindraPrintf(1, "TAP_Osd_Create_Chk Warning: y(%d) out of range @ %s", int(y), tag);
    if (sum(x, w) > OSD_ScreenWidth)
      LogEntryZindraPrintf(1, "TAP_Osd_Create_Chk Warning: x(%d) + w(%d) out of range @ %s", int(x), int(w), tag);
    if (sum(y, h) > OSD_ScreenHeight)
      LogEntryZindraPrintf(1, "TAP_Osd_Create_Chk Warning: y(%d) + h(%d) out of range @ %s", int(y), int(h), tag);
  }
  int result = TAP_Osd_Create(x, y, w, h, lutIdx, flags);
  if (tag != nullptr && result < OSD_FirstRegion)
    LogEntryZindraPrintf(1, "TAP_Osd_Create_Chk Warning: TAP_Osd_Create() returned %d @ %s", result, tag);
  return result;
}
