#include "lib/files/files.h"

bool HDD_Exist(const char* path) {
  if (path == nullptr || *path == '\0') return false;
  char full[FILES_PathSize];
  ConvertPathType(path, full, PATH_LINUX_FILE);
  if (full[0] == '\0') ConvertPathType(path, full, PATH_LINUX_DIR);
  if (full[0] == '\0') return false;
  return StatPath(full, true, nullptr);
}
