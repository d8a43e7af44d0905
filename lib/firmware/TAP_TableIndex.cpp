#include "lib/firmware/fwaccess.h"

int32_t TAP_TableIndex = -1;
