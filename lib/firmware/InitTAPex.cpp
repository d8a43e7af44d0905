#include "lib/firmware/fwaccess.h"
#include "platform/tap.h"

int32_t LibInitialized = 0;
uint16_t ApplID = 0;

int InitTAPex(void) {
  if (LibInitialized) return 1;
  ApplID = static_cast<uint16_t>(TAP_GetVersion());
  int32_t* current = FIS_vCurTapTask();
  if (current) TAP_TableIndex = *current;
  LibInitialized = 1;
  return 1;
}
