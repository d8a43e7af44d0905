// The firmware's player starts a media file of the work folder.
#include "core/internal.h"

__attribute__((visibility("default"))) int Appl_StartPlaybackMedia(const char* name, unsigned int a, bool b, bool c) {
  return emu::detail::fwStartPlaybackMedia(name, a, b, c);
}
