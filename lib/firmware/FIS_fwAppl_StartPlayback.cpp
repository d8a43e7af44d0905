#include "lib/firmware/internal.h"

static void* fwAppl_StartPlayback = nullptr;

void* FIS_fwAppl_StartPlayback(void) { return FIS_Cached(&fwAppl_StartPlayback, FW_Appl_StartPlayback); }
