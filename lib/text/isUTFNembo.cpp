#include "lib/firmware/fwaccess.h"
#include "lib/text/text.h"

static int isUTFNembo_first = 1;
static int isUTFNembo_answer = 0;

int isUTFNembo(void) {
  if (isUTFNembo_first) {
    isUTFNembo_answer = FIS_fwAppl_ConvertToValidUTF8Str() != nullptr ? 1 : 0;
    isUTFNembo_first = 0;
  }
  return isUTFNembo_answer;
}
