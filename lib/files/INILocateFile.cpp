#include <cstring>

#include "lib/files/internal.h"
#include "platform/tap.h"

int32_t INILocateFile(const char* fileName, const char* appName) {
  if (fileName == nullptr) return 0;
  if (TAP_Hdd_Exist(fileName)) return 2;

  // The way back. A directory we could not name again is not left at all.
  char back[FILES_PathSize];
  if (CurrentDirInto(back, sizeof back) == FILES_DirTooLong) return 0;

  int32_t result = 0;
  if (!HDD_ChangeDir("/ProgramFiles")) {
    if (back[0] != '\0') HDD_ChangeDir(back);
    return 0;
  }
  if (TAP_Hdd_Exist(fileName)) {
    result = 5;
    strcpy(back, "/ProgramFiles");
  }
  if (HDD_ChangeDir("Settings")) {
    if (TAP_Hdd_Exist(fileName)) {
      result = 4;
      strcpy(back, "/ProgramFiles/Settings");
    }
    if (appName != nullptr && appName[0] != '\0' && appName[0] != '/' && HDD_ChangeDir(appName) &&
        TAP_Hdd_Exist(fileName))
      return 3;
  }
  if (back[0] != '\0') HDD_ChangeDir(back);
  return result;
}
