#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>

#include "lib/log/log.h"
#include "platform/tap.h"

// One line buffer for every log call: logging is not reentrant.
char puffer[1024];

void LogEntryZindraPrintf(int console, const char* format, ...) {
  if (!format) return;
  char message[512];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  mkdir("/mnt/hd/ProgramFiles/Settings", 0777);
  char stamp[TimeFormatSize + 1];
  uint8_t seconds = 0;
  uint32_t now = Now(&seconds);
  TimeFormat(now, seconds, 5, stamp);
  size_t n = 0;
  while (stamp[n]) ++n;
  stamp[n] = ' ';
  stamp[n + 1] = '\0';
  if (console == 0) return;
  // 1024 bytes hold the 20-byte stamp, the 11-byte mark and 511 characters.
  snprintf(puffer, sizeof puffer, "%s ZINDRA - %s\n", stamp, message);
  PrintNet(puffer);
}
