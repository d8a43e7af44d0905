#include "lib/files/files.h"

bool HDD_GetFileSizeAndInode(const char* path, uint64_t* inode, uint64_t* size) {
  if (path == nullptr || *path == '\0') return false;
  char full[FILES_PathSize];
  ConvertPathType(path, full, PATH_LINUX_FILE);
  if (full[0] == '\0') return false;
  FileFacts facts;
  if (!StatPath(full, false, &facts)) return false;
  if (inode != nullptr) *inode = facts.inode;
  if (size != nullptr) *size = facts.size;
  return true;
}
