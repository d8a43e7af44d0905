#include "lib/firmware/internal.h"

static void* _ApplHdd_SetWorkFolder = nullptr;

void* FIS_fwApplHdd_SetWorkFolder(void) { return FIS_Cached(&_ApplHdd_SetWorkFolder, FW_ApplHdd_SetWorkFolder); }
