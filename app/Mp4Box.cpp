// Boxes of an MP4 container held in memory, every length checked against
// the container.
#include "app/Mp4.h"

namespace mp4 {

bool NextBox(const uint8_t* data, size_t size, size_t* at, Box* box) {
  if (data == nullptr || *at >= size || size - *at < 8) return false;
  const uint8_t* p = data + *at;
  size_t left = size - *at;
  uint64_t length = Be32(p);
  size_t header = 8;
  if (length == 1) {
    if (left < 16) return false;
    length = Be64(p + 8);
    header = 16;
  } else if (length == 0) {
    length = left;
  }
  if (length < header || length > left) return false;
  box->type = Be32(p + 4);
  box->body = p + header;
  box->size = static_cast<size_t>(length) - header;
  *at += static_cast<size_t>(length);
  return true;
}

bool FindBox(const uint8_t* data, size_t size, uint32_t type, Box* box) {
  size_t at = 0;
  while (NextBox(data, size, &at, box))
    if (box->type == type) return true;
  return false;
}

}  // namespace mp4
