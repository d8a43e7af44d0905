#include <dlfcn.h>

#include "lib/firmware/fwaccess.h"

void* TryResolve(const char* name) {
  if (!name) return nullptr;
  void* handle = dlopen(nullptr, RTLD_LAZY | RTLD_GLOBAL);
  if (!handle) return nullptr;
  dlerror();  // a stale error must not be taken for this look-up's
  void* address = dlsym(handle, name);
  if (dlerror()) {
    dlclose(handle);
    return nullptr;
  }
  dlclose(handle);
  return address;
}
