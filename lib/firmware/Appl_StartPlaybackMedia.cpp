#include "lib/firmware/fwaccess.h"

int Appl_StartPlaybackMedia(const char* name, unsigned int a, bool b, bool c) {
  auto f = reinterpret_cast<FW_Appl_StartPlaybackMedia_t>(FIS_fwAppl_StartPlaybackMedia());
  return f ? f(name, a, b, c) : 1;
}
