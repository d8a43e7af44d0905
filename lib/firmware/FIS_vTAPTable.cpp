#include "lib/firmware/internal.h"

static void* vTAP_TableAddress = nullptr;

TapTableEntry* FIS_vTAPTable(void) { return static_cast<TapTableEntry*>(FIS_Cached(&vTAP_TableAddress, FW_tapTask)); }
