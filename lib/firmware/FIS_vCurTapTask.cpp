#include "lib/firmware/internal.h"

static void* vcurTapTask = nullptr;

int32_t* FIS_vCurTapTask(void) { return static_cast<int32_t*>(FIS_Cached(&vcurTapTask, FW_curTapTask)); }
