// The firmware makes a selected folder its work folder.
#include "core/internal.h"

__attribute__((visibility("default"))) void ApplHdd_SetWorkFolder(void* folder) {
  emu::detail::fwSetWorkFolder(folder);
}
