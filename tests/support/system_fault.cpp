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

// The app's code in the tests calls this for system() (tests/CMakeLists.txt).
extern "C" int orvado_tap_system(const char* command) {
  static auto real = reinterpret_cast<int (*)(const char*)>(dlsym(RTLD_NEXT, "orvado_tap_system"));
  if (command != nullptr && !failing.empty() && std::strstr(command, failing.c_str()) != nullptr) {
    failing.clear();
    errno = EAGAIN;
    return -1;
  }
  return real(command);
}
