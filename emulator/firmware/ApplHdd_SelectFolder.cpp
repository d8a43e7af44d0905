// The firmware selects a folder into a 16-byte record.
#include "core/internal.h"

__attribute__((visibility("default"))) int ApplHdd_SelectFolder(void* folder, const char* path) {
  return emu::detail::fwSelectFolder(folder, path);
}
