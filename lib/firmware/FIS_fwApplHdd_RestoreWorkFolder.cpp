#include "lib/firmware/internal.h"

static void* _ApplHdd_RestoreWorkFolder = nullptr;

void* FIS_fwApplHdd_RestoreWorkFolder(void) {
  return FIS_Cached(&_ApplHdd_RestoreWorkFolder, FW_ApplHdd_RestoreWorkFolder);
}
