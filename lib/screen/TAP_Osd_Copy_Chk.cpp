#include "lib/log/log.h"
#include "lib/screen/internal.h"
#include "lib/screen/screen.h"
#include "platform/tap.h"

using screen_internal::sum;

int TAP_Osd_Copy_Chk(const char* tag, uint16_t srcRgn, uint16_t dstRgn, uint32_t srcX, uint32_t srcY, uint32_t w,
                     uint32_t h, uint32_t dstX, uint32_t dstY, bool sprite) {
  if (tag != nullptr) {
    uint32_t srcW = GetOSDRegionWidth(srcRgn), srcH = GetOSDRegionHeight(srcRgn);
    uint32_t dstW = GetOSDRegionWidth(dstRgn), dstH = GetOSDRegionHeight(dstRgn);
    const char* p = "TAP_Osd_Copy_Chk Warning: ";
    if (srcX >= srcW) LogEntryZindraPrintf(1, "%ssrcX(%d) >= srcRgnW(%d) @ %s", p, int(srcX), int(srcW), tag);
    if (srcY >= srcH) LogEntryZindraPrintf(1, "%ssrcY(%d) >= srcRgnH(%d) @ %s", p, int(srcY), int(srcH), tag);
    if (sum(srcX, w) > srcW)
      LogEntryZindraPrintf(1, "%s(srcX(%d) + w(%d)) > srcRgnW(%d) @ %s", p, int(srcX), int(w), int(srcW), tag);
    if (sum(srcY, h) > srcH)
      LogEntryZindraPrintf(1, "%s(srcY(%d) + h(%d)) > srcRgnH(%d) @ %s", p, int(srcY), int(h), int(srcH), tag);
    if (dstX >= dstW) LogEntryZindraPrintf(1, "%sdstX(%d) >= dstRgnW(%d) @ %s", p, int(dstX), int(dstW), tag);
    if (dstY >= dstH) LogEntryZindraPrintf(1, "%sdstY(%d) >= dstRgnH(%d) @ %s", p, int(dstY), int(dstH), tag);
    if (sum(dstX, w) > dstW)
      LogEntryZindraPrintf(1, "%s(dstX(%d) + w(%d)) > dstRgnW(%d) @ %s", p, int(dstX), int(w), int(dstW), tag);
    if (sum(dstY, h) > dstH)
      LogEntryZindraPrintf(1, "%s(dstY(%d) + h(%d)) > dstRgnH(%d) @ %s", p, int(dstY), int(h), int(dstH), tag);
  }
  int result = TAP_Osd_Copy(srcRgn, dstRgn, srcX, srcY, w, h, dstX, dstY, sprite);
  if (tag != nullptr && result != 0)
    LogEntryZindraPrintf(1, "TAP_Osd_Copy_Chk Warning: TAP_Osd_Copy() returned %d @ %s", result, tag);
  return result;
}
