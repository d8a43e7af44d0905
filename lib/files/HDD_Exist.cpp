#include <sys/stat.h>

#include "lib/files/files.h"

bool HDD_Exist(const char* path) {
  if (path == nullptr || *path == '\0') return false;
  char full[FILES_PathSize];
  ConvertPathType(path, full, PATH_LINUX_FILE);
  if (full[0] == '\0') ConvertPathType(path, full, PATH_LINUX_DIR);
  if (full[0] == '\0') return false;
  struct stat64 st;
  return stat64(full, &st) == 0;
}
