// The firmware's conversion of file names to valid UTF-8; its presence tells
// a TAP that the firmware works with UTF-8 names.
#include "core/internal.h"

__attribute__((visibility("default"))) int Appl_ConvertToValidUTF8Str(unsigned char* text, int length) {
  return emu::detail::fwConvertToValidUTF8Str(text, length);
}
