#include "lib/firmware/internal.h"

static void* _ApplHdd_SaveWorkFolder = nullptr;

void* FIS_fwApplHdd_SaveWorkFolder(void) { return FIS_Cached(&_ApplHdd_SaveWorkFolder, FW_ApplHdd_SaveWorkFolder); }
