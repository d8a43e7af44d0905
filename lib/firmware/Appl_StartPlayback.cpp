#include "lib/firmware/fwaccess.h"

int Appl_StartPlayback(const char* name, unsigned int a, bool b, bool /*c: not passed on*/) {
  auto f = reinterpret_cast<FW_Appl_StartPlayback_t>(FIS_fwAppl_StartPlayback());
  return f ? f(name, a, b) : -1;
}
