// A 32-bit FNV-1a hash: enough to tell whether a text seen before came again.
#include "app/stream_internal.h"

namespace stream_internal {

uint32_t HashText(const char* text, size_t length) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < length; ++i) h = (h ^ static_cast<unsigned char>(text[i])) * 16777619u;
  return h;
}

}  // namespace stream_internal
