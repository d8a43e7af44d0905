// The channel menu: nine numbered lines and the exit line.
#include <cstdio>

#include "app/orvado.h"
#include "lib/fonts/fonts.h"

void liststream(void) {
  // The number, eight blanks and a whole table entry fit.
  char line[12 + sizeof _OrvadoName[0]];
  for (unsigned i = 1; i <= 9; ++i) {
    snprintf(line, sizeof line, "%u        %.63s", i, _OrvadoName[i - 1]);
    FMUC_PutString(_rgn, 20, 121 + 21 * (i - 1), 250, line, 0xffffffff, 0xff101010, &Calibri_14_FontDataUC, 0, 0);
  }
  FMUC_PutString(_rgn, 20, 320, 250, "Exit  > Tap beenden", 0xffffffff, 0xff101010, &Calibri_14_FontDataUC, 0, 0);
}
