#include "lib/files/internal.h"

bool HDD_TAP_PopDir(void) {
  if (TAPDirStackDepth < 0) return false;
  const char* dir = TAPDirStack[TAPDirStackDepth];
  TAPDirStackDepth--;
  return HDD_ChangeDir(dir);
}
