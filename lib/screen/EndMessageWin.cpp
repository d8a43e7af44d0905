#include "lib/screen/screen.h"
#include "platform/tap.h"

void EndMessageWin(void) {
  if (zindra_rgn != 0) TAP_Osd_Delete(uint16_t(zindra_rgn));
  zindra_rgn = 0;
  TAP_Osd_Sync();
}
