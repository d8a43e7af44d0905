#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "lib/log/log.h"

void PrintNet(const char* text) {
  if (!text) return;
  size_t length = strlen(text) + 1;  // the terminator goes out too
  for (int n = 0; n < 20; ++n) {
    char name[32];
    snprintf(name, sizeof name, "/dev/pts/%d", n);
    int fd = open(name, O_RDWR | O_NOCTTY);
    if (fd < 0) continue;
    ssize_t written = write(fd, text, length);
    (void)written;
    close(fd);
    return;
  }
}
