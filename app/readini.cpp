// The channel settings: names and playlist URLs of channels 1 to 9.
#include <cstdio>

#include "app/orvado.h"
#include "lib/files/files.h"
#include "lib/text/text.h"

char _OrvadoName[100][64];
char _OrvadoURL[100][512];
char _OrvadoUserAgent[9][128];

// A name keeps at most 15 bytes, cut before a character that would not fit
// whole rather than in the middle of its UTF-8 sequence.
static void CutName(char* name) {
  size_t at = 0;
  while (name[at] != '\0') {
    uint8_t length = 1;
    if (!isUTF8Char(name + at, &length) || length == 0) length = 1;
    if (at + length > 15) break;
    at += length;
  }
  name[at] = '\0';
}

int readini(void) {
  HDD_ChangeDir("/ProgramFiles/Settings/orvado/");
  if (INIOpenFile("orvado.ini", "orvado") == 1) {
    INICloseFile();
    return 0;
  }
  char key[16];
  for (unsigned i = 1; i <= 9; ++i) {
    snprintf(key, sizeof key, "tvname%u", i);
    INIGetString(key, _OrvadoName[i - 1], "---", sizeof _OrvadoName[0]);
    CutName(_OrvadoName[i - 1]);
  }
  for (unsigned i = 1; i <= 9; ++i) {
    snprintf(key, sizeof key, "tvPL%u", i);
    INIGetString(key, _OrvadoURL[i - 1], "---", 512);
  }
  for (unsigned i = 1; i <= 9; ++i) {
    snprintf(key, sizeof key, "tvUA%u", i);
    INIGetString(key, _OrvadoUserAgent[i - 1], "", sizeof _OrvadoUserAgent[0]);
  }
  INICloseFile();
  return 1;
}
