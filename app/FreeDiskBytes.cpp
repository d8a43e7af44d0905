// Free space through the shell's df: the TAP interface has no call for it.
// "-P" keeps each file system on one line, "-k" gives KiB.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/stream_internal.h"

namespace stream_internal {

int64_t FreeDiskBytes(const char* linuxDir) {
  if (linuxDir == nullptr || strchr(linuxDir, '\'') != nullptr) return -1;
  char command[600];
  if (snprintf(command, sizeof command, "df -Pk '%s' 2>/dev/null", linuxDir) >= static_cast<int>(sizeof command))
    return -1;
  FILE* pipe = popen(command, "r");
  if (pipe == nullptr) return -1;
  char header[512], line[512];
  int64_t bytes = -1;
  if (fgets(header, sizeof header, pipe) != nullptr && fgets(line, sizeof line, pipe) != nullptr) {
    // Filesystem, 1024-blocks, Used, Available, Capacity, Mounted on: the
    // fourth field, which must be all digits.
    const char* p = line;
    for (int field = 0; field < 3 && *p != '\0'; ++field) {
      while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
      while (*p == ' ' || *p == '\t') ++p;
    }
    int64_t available = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 15; ++p, ++digits) available = available * 10 + (*p - '0');
    if (digits > 0 && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\0')) bytes = available * 1024;
  }
  while (fgets(line, sizeof line, pipe) != nullptr) {
  }
  pclose(pipe);
  return bytes;
}

}  // namespace stream_internal
