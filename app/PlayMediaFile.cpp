#include "app/PlayMediaFile.h"

#include <unistd.h>

#include <cstring>

#include "lib/files/files.h"
#include "lib/firmware/fwaccess.h"

int32_t PlayMediaFile(const char* file) {
  ApplHdd_SaveWorkFolder();

  uint8_t folder[16];
  memset(folder, 0, sizeof folder);
  const uint32_t marker = FW_FolderRecordMarker;
  memcpy(folder, &marker, 4);

  char dir[FILES_PathSize];
  ConvertPathType(file, dir, PATH_LINUX_DIR);
  size_t n = file != nullptr ? strlen(dir) : 0;
  // Without a folder there is nothing to select; the selection would
  // otherwise be handed the bytes behind an empty string.
  if (n == 0) {
    ApplHdd_RestoreWorkFolder();
    return 0;
  }
  if (dir[n - 1] == '/') dir[n - 1] = '\0';

  // The selection's own codes (its 1 among them) mean it failed: nothing
  // started.
  if (ApplHdd_SelectFolder(folder, dir[0] != '\0' ? dir + 1 : dir) != 0) {
    ApplHdd_RestoreWorkFolder();
    return 0;
  }
  ApplHdd_SetWorkFolder(folder);

  char side[FILES_PathSize + 4];
  ConvertPathType(file, side, PATH_LINUX_FILE);
  strcat(side, ".inf");
  char name[FILES_PathSize];
  ConvertPathType(file, name, PATH_NAME);

  int started = access(side, F_OK) != 0 ? Appl_StartPlaybackMedia(name, 0, true, false)
                                        : Appl_StartPlayback(name, 0, true, false);
  ApplHdd_RestoreWorkFolder();
  return started == 0 ? 1 : 0;
}
