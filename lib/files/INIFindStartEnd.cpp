#include <cstddef>
#include <cstring>

#include "lib/files/files.h"

void INIFindStartEnd(const char* pattern, char** start, char** end, uint32_t limit) {
  if (start == nullptr || end == nullptr || limit == 0) return;
  *start = nullptr;
  *end = nullptr;
  if (INIBuffer == nullptr) return;

  char* hit = stricstr(INIBuffer, pattern);
  while (hit != nullptr) {
    char before = hit == INIBuffer ? hit[0] : hit[-1];
    if (before != '#' && before != ';') break;
    hit = stricstr(hit + 1, pattern);
  }
  if (hit == nullptr) return;
  *start = hit;

  char* cr = strchr(hit, '\r');
  char* lf = strchr(hit, '\n');
  char* last = nullptr;
  if (cr != nullptr && (lf == cr + 1 || lf == nullptr))
    last = cr - 1;
  else if (lf != nullptr)
    last = lf - 1;
  if (last == nullptr) return;
  if (last - hit >= static_cast<std::ptrdiff_t>(limit)) last = hit + limit - 1;
  *end = last;
}
