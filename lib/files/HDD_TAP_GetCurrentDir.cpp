#include <cstring>

#include "lib/files/internal.h"
#include "lib/firmware/fwaccess.h"

int32_t CurrentDirInto(char* dst, uint32_t size) {
  if (dst != nullptr && size > 0) dst[0] = '\0';

  TapTableEntry* table = FIS_vTAPTable();
  if (TAP_TableIndex == -1) {
    int32_t* cur = FIS_vCurTapTask();
    // An index outside the table would read foreign memory: treat it as unknown.
    if (cur == nullptr || *cur < 0 || *cur >= TAP_TableSize) return -3;
    TAP_TableIndex = *cur;
  }
  if (table == nullptr) return -3;
  if (dst == nullptr || size == 0) return 0;

  const TapDirRecord* record = table[TAP_TableIndex].currentDir;
  if (record == nullptr || record->path == nullptr || strncmp(record->path, "/mnt/hd", 7) != 0) return 0;
  // The disk's root itself reads "/", so it can be saved and changed back to.
  const char* dir = record->path[7] != '\0' ? record->path + 7 : "/";
  size_t n = strlen(dir);
  if (n >= size) return FILES_DirTooLong;
  memcpy(dst, dir, n + 1);
  return 0;
}

int32_t HDD_TAP_GetCurrentDir(char* destination) {
  int32_t r = CurrentDirInto(destination, FILES_PathSize);
  return r == FILES_DirTooLong ? 0 : r;
}
