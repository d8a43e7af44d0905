#include <sys/stat.h>

#include "lib/files/internal.h"

bool StatPath(const char* linuxPath, bool followLinks, FileFacts* facts) {
  if (linuxPath == nullptr || *linuxPath == '\0') return false;
  struct stat64 st;
#if defined(__mips__) && defined(__GLIBC__)
  int result =
      followLinks ? __xstat64(FILES_StatVersion, linuxPath, &st) : __lxstat64(FILES_StatVersion, linuxPath, &st);
#else
  int result = followLinks ? stat64(linuxPath, &st) : lstat64(linuxPath, &st);
#endif
  return result == 0 && FillFileFacts(st, facts);
}
