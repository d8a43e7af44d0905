#include "lib/firmware/fwaccess.h"

void ApplHdd_RestoreWorkFolder(void) {
  auto f = reinterpret_cast<FW_ApplHdd_RestoreWorkFolder_t>(FIS_fwApplHdd_RestoreWorkFolder());
  if (f) f();
}
