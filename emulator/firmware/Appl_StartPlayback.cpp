// The firmware's player starts a recording of the work folder.
#include "core/internal.h"

__attribute__((visibility("default"))) int Appl_StartPlayback(const char* name, unsigned int a, bool b) {
  return emu::detail::fwStartPlayback(name, a, b);
}
