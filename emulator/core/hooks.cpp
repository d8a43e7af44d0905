// The public doors into parts of the core that front ends and tests reach
// directly: the firmware's own functions and the graphic unpacker.
#include "core/screen_internal.h"

namespace emu {

uint32_t argbFrom1555(uint16_t pixel) { return detail::argbFrom1555(pixel); }

std::vector<uint32_t> unpackGraphic(const TYPE_GrData& gd, const uint8_t* stream, size_t length, bool* complete) {
  if (!detail::knownGraphicFormat(gd)) {
    if (complete) *complete = false;
    return {};
  }
  return detail::unpackGraphic(gd, stream, length, complete);
}

namespace firmware {
void saveWorkFolder() { detail::fwSaveWorkFolder(); }
void restoreWorkFolder() { detail::fwRestoreWorkFolder(); }
int selectFolder(void* folder, const char* path) { return detail::fwSelectFolder(folder, path); }
void setWorkFolder(void* folder) { detail::fwSetWorkFolder(folder); }
int startPlayback(const char* name, unsigned int a, bool b) { return detail::fwStartPlayback(name, a, b); }
int startPlaybackMedia(const char* name, unsigned int a, bool b, bool c) {
  return detail::fwStartPlaybackMedia(name, a, b, c);
}
int convertToValidUTF8Str(unsigned char* text, int length) { return detail::fwConvertToValidUTF8Str(text, length); }
}  // namespace firmware

}  // namespace emu
