#include "support/system_fault.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>

namespace {

std::string failing;  // empty: none

}  // namespace

namespace orvado_test {

void failSystemOnce(const std::string& part) { failing = part; }

}  // namespace orvado_test

extern "C" int system(const char* command) {
  static auto real = reinterpret_cast<int (*)(const char*)>(dlsym(RTLD_NEXT, "system"));
  if (command != nullptr && !failing.empty() && std::strstr(command, failing.c_str()) != nullptr) {
    failing.clear();
    errno = EAGAIN;
    return -1;
  }
  return real(command);
}
