#include <cstring>

#include "lib/files/internal.h"

PathForm GetPathType(const char* path) {
  if (path == nullptr || *path == '\0') return PATH_NAME;
  if (path[0] == '.' || strcmp(path, "/") == 0) return PATH_TAP_DIR;

  FileFacts facts;
  if (StatPath(path, false, &facts)) return facts.isDirectory ? PATH_LINUX_DIR : PATH_LINUX_FILE;

  size_t len = strlen(path);
  bool hasSlash = strchr(path, '/') != nullptr;
  bool endsSlash = path[len - 1] == '/';
  bool underMnt = strncmp(path, "/mnt", 4) == 0;

  // A name that exists as a folder in the TAP view counts as a TAP folder.
  // A candidate too long for the buffer is simply not confirmed by the disk.
  char candidate[FILES_PathSize] = "/mnt/hd";
  bool fits = true;
  if (path[0] != '/') {
    char cur[FILES_PathSize];
    fits = CurrentDirSlash(cur) && PathAppend(candidate, cur);
  }
  if (fits && PathAppend(candidate, path) && StatPath(candidate, false, &facts) && facts.isDirectory) {
    hasSlash = true;
    endsSlash = true;
  }

  if (!hasSlash) return PATH_NAME;
  if (!underMnt) return endsSlash ? PATH_TAP_DIR : PATH_TAP_FILE;
  return endsSlash ? PATH_LINUX_DIR : PATH_LINUX_FILE;
}
