#include "lib/firmware/internal.h"

static void* _ApplHdd_SelectFolder = nullptr;

void* FIS_fwApplHdd_SelectFolder(void) { return FIS_Cached(&_ApplHdd_SelectFolder, FW_ApplHdd_SelectFolder); }
