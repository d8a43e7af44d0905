#include "lib/firmware/fwaccess.h"

int ApplHdd_SelectFolder(void* folder, const char* path) {
  auto f = reinterpret_cast<FW_ApplHdd_SelectFolder_t>(FIS_fwApplHdd_SelectFolder());
  return f ? f(folder, path) : 0;
}
