// Text files of the pipeline (playlists, logs) are loaded whole.
#include <cstring>

#include "app/stream_internal.h"

namespace stream_internal {

ReadResult ReadText(const char* name, uint32_t minLength, char** text) {
  *text = nullptr;
  TYPE_File* file = TAP_Hdd_Fopen(name);
  if (file == nullptr) return READ_CANNOT_OPEN;
  uint32_t length = TAP_Hdd_Flen(file);
  // Twice the length has to stay a 32-bit size.
  char* buffer = nullptr;
  ReadResult result = READ_OK;
  if (length < minLength || length == 0)
    result = READ_TOO_SHORT;
  else if (length > UINT32_MAX / 2 || (buffer = static_cast<char*>(TAP_MemAlloc(length * 2))) == nullptr)
    result = READ_NO_MEMORY;
  if (buffer != nullptr) {
    // A short read must not leave stale heap bytes in the text.
    memset(buffer, 0, length * 2);
    TAP_Hdd_Fread(buffer, length, 1, file);
    buffer[length] = '\0';
  }
  // The handle's memory stays with the TAP after the close.
  TAP_Hdd_Fclose(file);
  TAP_MemFree(file);
  *text = buffer;
  return result;
}

}  // namespace stream_internal
