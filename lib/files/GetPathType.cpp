#include <sys/stat.h>

#include <cstring>

#include "lib/files/internal.h"

PathForm GetPathType(const char* path) {
  if (path == nullptr || *path == '\0') return PATH_NAME;
  if (path[0] == '.' || strcmp(path, "/") == 0) return PATH_TAP_DIR;

  struct stat64 st;
  if (lstat64(path, &st) == 0) return (st.st_mode & 0xF000) == 0x4000 ? PATH_LINUX_DIR : PATH_LINUX_FILE;

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
  if (fits && PathAppend(candidate, path) && lstat64(candidate, &st) == 0 && (st.st_mode & 0xF000) == 0x4000) {
    hasSlash = true;
    endsSlash = true;
  }

  if (!hasSlash) return PATH_NAME;
  if (!underMnt) return endsSlash ? PATH_TAP_DIR : PATH_TAP_FILE;
  return endsSlash ? PATH_LINUX_DIR : PATH_LINUX_FILE;
}
