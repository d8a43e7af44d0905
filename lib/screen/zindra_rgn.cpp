#include "lib/screen/screen.h"

uint32_t zindra_rgn = 0;
