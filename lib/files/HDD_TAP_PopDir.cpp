#include <cstring>

#include "lib/files/internal.h"

bool HDD_TAP_PopDir(void) {
  if (TAPDirStackDepth < 0) return false;
  // A copy: the freed slot is reused at once when this change is the TAP's
  // first, whose learning step pushes the current directory.
  char dir[FILES_DirStackSlot];
  memcpy(dir, TAPDirStack[TAPDirStackDepth], sizeof dir);
  TAPDirStackDepth--;
  return HDD_ChangeDir(dir);
}
