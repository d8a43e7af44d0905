// The channel settings: names and playlist URLs of channels 1 to 9.
#include <cstdio>

#include "app/orvado.h"
#include "lib/files/files.h"

char _OrvadoName[100][64];
char _OrvadoURL[100][512];

int readini(void) {
  HDD_ChangeDir("/ProgramFiles/Settings/orvado/");
  if (INIOpenFile("orvado.ini", "orvado") == 1) {
    INICloseFile();
    return 0;
  }
  char key[16];
  for (unsigned i = 1; i <= 9; ++i) {
    snprintf(key, sizeof key, "tvname%u", i);
    INIGetString(key, _OrvadoName[i - 1], "---", 16);
  }
  for (unsigned i = 1; i <= 9; ++i) {
    snprintf(key, sizeof key, "tvPL%u", i);
    INIGetString(key, _OrvadoURL[i - 1], "---", 512);
  }
  INICloseFile();
  return 1;
}
