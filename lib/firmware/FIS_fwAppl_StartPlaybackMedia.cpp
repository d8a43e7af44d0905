#include "lib/firmware/internal.h"

static void* fwAppl_StartPlaybackMedia = nullptr;

void* FIS_fwAppl_StartPlaybackMedia(void) { return FIS_Cached(&fwAppl_StartPlaybackMedia, FW_Appl_StartPlaybackMedia); }
