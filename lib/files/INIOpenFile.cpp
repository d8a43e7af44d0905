#include <cstring>

#include "lib/files/internal.h"
#include "platform/tap.h"

namespace {

// Back to the directory of the start: through the stack when the push
// worked, else by name, so a failed push never pops a caller's entry.
void ReturnTo(bool pushed, const char* saved) {
  if (pushed)
    HDD_TAP_PopDir();
  else if (saved[0] != '\0')
    HDD_ChangeDir(saved);
}

// Room for the text, at least 513 zero bytes after it, in whole 512 blocks.
constexpr uint32_t kMaxFileLength = 0x7FFFFFFFu - 2 * 512;

}  // namespace

int32_t INIOpenFile(const char* fileName, const char* appName) {
  // An open buffer would otherwise be lost.
  INICloseFile();

  char saved[FILES_PathSize];
  if (CurrentDirInto(saved, sizeof saved) != 0) saved[0] = '\0';
  bool pushed = HDD_TAP_PushDir();

  int32_t r = INILocateFile(fileName, appName);
  if (r == 0) {
    ReturnTo(pushed, saved);
    INIBuffer = static_cast<char*>(TAP_MemAlloc(512));
    if (INIBuffer == nullptr) return 0;
    BufferSize = 512;
    memset(INIBuffer, 0, 512);
    return 1;
  }

  TYPE_File* file = TAP_Hdd_Fopen(fileName);
  if (file == nullptr) {
    ReturnTo(pushed, saved);
    return 0;
  }

  uint32_t length = TAP_Hdd_Flen(file);
  bool readOk = false;
  if (length <= kMaxFileLength) {
    uint32_t size = (length / 512 + 2) * 512;
    INIBuffer = static_cast<char*>(TAP_MemAlloc(size));
    if (INIBuffer != nullptr) {
      BufferSize = static_cast<int32_t>(size);
      memset(INIBuffer, 0, size);
      readOk = TAP_Hdd_Fread(INIBuffer, length, 1, file) != 0;
      size_t n = strlen(INIBuffer);
      if (n > 0 && INIBuffer[n - 1] != '\r' && INIBuffer[n - 1] != '\n') memcpy(INIBuffer + n, "\r\n", 3);
    }
  }
  TAP_Hdd_Fclose(file);
  TAP_MemFree(file);  // the handle's memory stays with the caller after the close

  if (INIBuffer != nullptr && INIBuffer[0] == '\0') {
    memcpy(INIBuffer, "\r\n", 3);
    readOk = true;
  }
  ReturnTo(pushed, saved);
  return (INIBuffer == nullptr || !readOk) ? 0 : r;
}
