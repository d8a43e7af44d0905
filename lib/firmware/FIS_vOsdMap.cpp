#include "lib/firmware/internal.h"

static void* vOSDMap = nullptr;

OsdRegionInfo* FIS_vOsdMap(void) { return static_cast<OsdRegionInfo*>(FIS_Cached(&vOSDMap, FW_osdInfo)); }
