// The firmware's table of on-screen regions, indexed by region number.
#include "platform/firmware.h"

extern "C" __attribute__((visibility("default"))) OsdRegionInfo _osdInfo[OSD_RegionTableSize];
OsdRegionInfo _osdInfo[OSD_RegionTableSize];
