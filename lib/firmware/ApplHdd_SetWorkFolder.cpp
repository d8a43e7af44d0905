#include "lib/firmware/fwaccess.h"

void ApplHdd_SetWorkFolder(void* folder) {
  auto f = reinterpret_cast<FW_ApplHdd_SetWorkFolder_t>(FIS_fwApplHdd_SetWorkFolder());
  if (f) f(folder);
}
