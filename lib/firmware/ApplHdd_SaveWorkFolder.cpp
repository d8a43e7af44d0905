#include "lib/firmware/fwaccess.h"

void ApplHdd_SaveWorkFolder(void) {
  auto f = reinterpret_cast<FW_ApplHdd_SaveWorkFolder_t>(FIS_fwApplHdd_SaveWorkFolder());
  if (f) f();
}
