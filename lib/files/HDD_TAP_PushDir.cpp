#include "lib/files/internal.h"

char TAPDirStack[FILES_DirStackDepth][FILES_DirStackSlot];
int32_t TAPDirStackDepth = -1;

bool HDD_TAP_PushDir(void) {
  if (TAPDirStackDepth + 1 >= FILES_DirStackDepth) return false;
  TAPDirStackDepth++;
  // A directory too long for its slot is refused rather than cut.
  if (CurrentDirInto(TAPDirStack[TAPDirStackDepth], FILES_DirStackSlot) == 0) return true;
  TAPDirStackDepth--;
  return false;
}
