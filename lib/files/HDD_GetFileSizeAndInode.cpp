#include <sys/stat.h>

#include "lib/files/files.h"

bool HDD_GetFileSizeAndInode(const char* path, uint64_t* inode, uint64_t* size) {
  if (path == nullptr || *path == '\0') return false;
  char full[FILES_PathSize];
  ConvertPathType(path, full, PATH_LINUX_FILE);
  if (full[0] == '\0') return false;
  struct stat64 st;
  if (lstat64(full, &st) != 0) return false;
  if (inode != nullptr) *inode = static_cast<uint64_t>(st.st_ino);
  if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
  return true;
}
