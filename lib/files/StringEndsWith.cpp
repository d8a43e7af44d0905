#include <cstring>

#include "lib/files/files.h"
#include "platform/tap.h"

bool StringEndsWith(const char* string, const char* suffix) {
  if (string == nullptr || suffix == nullptr || *string == '\0' || *suffix == '\0') return false;
  size_t n = strlen(string), m = strlen(suffix);
  if (m > n) return false;
  return TAP_MemCmp(string + n - m, suffix, static_cast<uint32_t>(m)) == 0;
}
