#include <cstring>

#include "lib/files/files.h"

bool INIGetString(const char* key, char* destination, const char* defaultValue, uint32_t maxLength) {
  if (key == nullptr || destination == nullptr || defaultValue == nullptr || maxLength == 0) return false;

  char pattern[80];
  size_t keyLength = strnlen(key, 78);
  memcpy(pattern, key, keyLength);
  memcpy(pattern + keyLength, "=", 2);
  size_t n = keyLength + 1;

  char* start = nullptr;
  char* end = nullptr;
  INIFindStartEnd(pattern, &start, &end, static_cast<uint32_t>(n) + maxLength);

  if (start != nullptr && end != nullptr && end >= start + n) {
    size_t length = static_cast<size_t>(end - (start + n)) + 1;
    if (length > maxLength - 1) length = maxLength - 1;
    memcpy(destination, start + n, length);
    destination[length] = '\0';
  } else {
    strncpy(destination, defaultValue, maxLength);
    destination[maxLength - 1] = '\0';
  }
  return true;
}
