#include "lib/files/files.h"
#include "platform/tap.h"

char* INIBuffer = nullptr;
int32_t BufferSize = 0;
char* INICommentBuffer = nullptr;

void INICloseFile(void) {
  if (INIBuffer != nullptr) {
    TAP_MemFree(INIBuffer);
    INIBuffer = nullptr;
    BufferSize = 0;
  }
  if (INICommentBuffer != nullptr) {
    TAP_MemFree(INICommentBuffer);
    INICommentBuffer = nullptr;
  }
}
