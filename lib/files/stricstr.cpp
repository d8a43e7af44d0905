#include <strings.h>

#include <cctype>
#include <cstring>

#include "lib/files/files.h"
#include "lib/text/text.h"

char* stricstr(const char* text, const char* pattern) {
  if (text == nullptr || pattern == nullptr) return nullptr;
  char* t = SkipCharTableBytes(text);
  const char* p = SkipCharTableBytes(pattern);
  if (*p == '\0') return nullptr;

  unsigned char first = static_cast<unsigned char>(*p);
  const char accept[3] = {static_cast<char>(toupper(first)), static_cast<char>(tolower(first)), '\0'};
  size_t rest = strlen(p + 1);
  for (t = strpbrk(t, accept); t != nullptr; t = strpbrk(t + 1, accept)) {
    if (strncasecmp(t + 1, p + 1, rest) == 0) return t;
  }
  return nullptr;
}
