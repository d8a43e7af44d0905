#include "lib/screen/screen.h"

int isOSDRegionAlive(uint16_t rgn) { return GetOSDRegionWidth(rgn) != 0 && GetOSDRegionHeight(rgn) != 0 ? 1 : 0; }
