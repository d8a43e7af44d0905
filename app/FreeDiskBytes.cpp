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
    // Filesystem, 1024-blocks, Used, Available, Capacity, Mounted on.
    char name[256];
    long long blocks = 0, used = 0, available = 0;
    if (sscanf(line, "%255s %lld %lld %lld", name, &blocks, &used, &available) == 4 && available >= 0)
      bytes = available * 1024;
  }
  while (fgets(line, sizeof line, pipe) != nullptr) {
  }
  pclose(pipe);
  return bytes;
}

}  // namespace stream_internal
