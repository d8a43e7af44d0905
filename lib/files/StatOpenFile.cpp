#include <sys/stat.h>

#include "lib/files/internal.h"

bool StatOpenFile(int fd, FileFacts* facts) {
  if (fd < 0) return false;
  struct stat64 st;
#if defined(__mips__) && defined(__GLIBC__)
  int result = __fxstat64(FILES_StatVersion, fd, &st);
#else
  int result = fstat64(fd, &st);
#endif
  return result == 0 && FillFileFacts(st, facts);
}
