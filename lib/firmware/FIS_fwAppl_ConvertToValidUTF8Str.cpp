#include "lib/firmware/internal.h"

static void* _Appl_ConvertToValidUTF8Str = nullptr;

void* FIS_fwAppl_ConvertToValidUTF8Str(void) {
  return FIS_Cached(&_Appl_ConvertToValidUTF8Str, FW_Appl_ConvertToValidUTF8Str);
}
