#include "lib/fonts/fonts.h"

FMUC_MemoryRecord FMUC_Memory[FMUC_MemoryRecords];
