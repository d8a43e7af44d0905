#include <cstring>

#include "lib/files/internal.h"
#include "lib/text/text.h"
#include "platform/tap.h"

namespace {
int32_t ReturnTypeToBeChecked = 1;
int32_t ChDirSuccessful = 0;
}  // namespace

bool HDD_ChangeDir(const char* path) {
  // The firmware's success value is not documented: learn it once from a
  // change that must succeed, then go back where we were.
  if (ReturnTypeToBeChecked) {
    bool pushed = HDD_TAP_PushDir();
    int r = TAP_Hdd_ChangeDir("/ProgramFiles");
    ReturnTypeToBeChecked = 0;
    ChDirSuccessful = r;
    // Without a push of our own, a pop would take a caller's entry.
    if (pushed) HDD_TAP_PopDir();
  }

  if (path == nullptr || *path == '\0') return false;

  // The closing "/" makes a folder name without it read as a folder.
  char buffer[FILES_PathSize] = "";
  if (!PathAppend(buffer, path) || !PathAddSlash(buffer)) return false;
  char target[FILES_PathSize];
  ConvertPathType(buffer, target, PATH_TAP_DIR);
  if (target[0] == '\0') return false;

  if (TAP_Hdd_ChangeDir(target) == ChDirSuccessful) return true;

  if (isUTFNembo()) {
    char converted[3 * FILES_PathSize + 1];
    StrToUTF8(target, converted, 9);
    return TAP_Hdd_ChangeDir(converted) == ChDirSuccessful;
  }
  return false;
}
