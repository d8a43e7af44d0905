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
    // fourth field. Read by hand: the receiver's C library is old.
    const char* c = line;
    for (int field = 0; field < 3; ++field) {
      while (*c == ' ' || *c == '\t') ++c;
      while (*c != '\0' && *c != ' ' && *c != '\t') ++c;
    }
    while (*c == ' ' || *c == '\t') ++c;
    int64_t available = 0;
    const char* digits = c;
    for (; *c >= '0' && *c <= '9' && available < (INT64_C(1) << 50); ++c) available = available * 10 + (*c - '0');
    if (c != digits && (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\0')) bytes = available * 1024;
  }
  while (fgets(line, sizeof line, pipe) != nullptr) {
  }
  pclose(pipe);
  return bytes;
}

}  // namespace stream_internal
