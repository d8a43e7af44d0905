// The screen as JPEG for the live picture and as PNG for screenshots.
#include <png.h>
#include <turbojpeg.h>

#include <cstdlib>

#include "web/internal.h"

namespace emu::web {

std::string encodeJpeg(const std::vector<uint32_t>& pixels, uint32_t width, uint32_t height, int quality) {
  if (pixels.size() != size_t{width} * height || width == 0) return {};
  tjhandle tj = tjInitCompress();
  if (!tj) return {};
  unsigned char* out = nullptr;
  unsigned long size = 0;
  // ARGB words lie in memory as B, G, R, A on this little-endian PC.
  int rc = tjCompress2(tj, reinterpret_cast<const unsigned char*>(pixels.data()), static_cast<int>(width), 0,
                       static_cast<int>(height), TJPF_BGRX, &out, &size, TJSAMP_420, quality, TJFLAG_FASTDCT);
  std::string jpeg;
  if (rc == 0) jpeg.assign(reinterpret_cast<const char*>(out), size);
  tjFree(out);
  tjDestroy(tj);
  return jpeg;
}

std::string encodePng(const std::vector<uint32_t>& pixels, uint32_t width, uint32_t height) {
  if (pixels.size() != size_t{width} * height || width == 0) return {};
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_BGRA;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr)) return {};
  std::string png(size, '\0');
  if (!png_image_write_to_memory(&image, png.data(), &size, 0, pixels.data(), 0, nullptr)) return {};
  png.resize(size);
  return png;
}

}  // namespace emu::web
