// Screenshots: any Image to and from an 8-bit RGBA PNG file, through libpng.
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/screen_internal.h"

namespace emu {
namespace {

constexpr uint32_t kMaxSide = 4096;  // refuse absurd sizes before allocating for them

// State that must survive libpng's longjmp: it lives on the heap, reached
// through a pointer that does not change after setjmp.
struct PngJob {
  std::string path;
  std::FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  bool writing = false;
  std::string error;
  std::vector<uint8_t> rows;
  std::vector<png_bytep> rowPointers;

  ~PngJob() {
    if (png && writing) png_destroy_write_struct(&png, info ? &info : nullptr);
    if (png && !writing) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    if (file) std::fclose(file);
  }
};

[[noreturn]] void onError(png_structp png, png_const_charp message) {
  auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
  job->error = message ? message : "libpng error";
  png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

bool fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

// Encodes the prepared rows; false with j->error set when libpng fails.
bool writeImage(PngJob* j, const Image& image) {
  if (setjmp(png_jmpbuf(j->png)) != 0) return false;
  png_init_io(j->png, j->file);
  png_set_IHDR(j->png, j->info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(j->png, j->info);
  for (uint32_t row = 0; row < image.height; ++row)
    png_write_row(j->png, &j->rows[static_cast<size_t>(row) * image.width * 4]);
  png_write_end(j->png, nullptr);
  return true;
}

}  // namespace

bool savePng(const Image& image, const std::string& path, std::string* error) {
  if (image.width == 0 || image.height == 0 || image.width > kMaxSide || image.height > kMaxSide)
    return fail(error,
                detail::format("cannot save %s: the image is %u x %u pixels", path.c_str(), image.width, image.height));
  if (image.pixels.size() != static_cast<size_t>(image.width) * image.height)
    return fail(error, detail::format("cannot save %s: %zu pixels for an image of %u x %u", path.c_str(),
                                      image.pixels.size(), image.width, image.height));
  // Written beside the target and renamed, so a failed write never leaves a
  // broken file in place of a good one.
  auto job = std::make_unique<PngJob>();
  job->path = path + ".part";
  job->writing = true;
  job->file = std::fopen(job->path.c_str(), "wb");
  if (!job->file) return fail(error, "cannot write " + path + ": " + std::strerror(errno));
  job->rows.resize(static_cast<size_t>(image.width) * 4 * image.height);
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    uint32_t p = image.pixels[i];
    uint8_t* out = &job->rows[i * 4];
    out[0] = static_cast<uint8_t>(p >> 16);
    out[1] = static_cast<uint8_t>(p >> 8);
    out[2] = static_cast<uint8_t>(p);
    out[3] = static_cast<uint8_t>(p >> 24);
  }
  PngJob* const j = job.get();
  j->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, j, onError, onWarning);
  if (j->png) j->info = png_create_info_struct(j->png);
  bool ok = j->png && j->info && writeImage(j, image);
  if (!j->png || !j->info) j->error = "out of memory";
  if (ok && std::fflush(j->file) != 0) {
    ok = false;
    j->error = std::strerror(errno);
  }
  if (std::fclose(j->file) != 0 && ok) {
    ok = false;
    j->error = std::strerror(errno);
  }
  j->file = nullptr;
  if (ok && std::rename(j->path.c_str(), path.c_str()) != 0) {
    ok = false;
    j->error = std::strerror(errno);
  }
  if (!ok) {
    std::remove(j->path.c_str());
    return fail(error, "cannot write " + path + ": " + j->error);
  }
  return true;
}

bool loadPng(const std::string& path, Image& image, std::string* error) {
  auto job = std::make_unique<PngJob>();
  PngJob* const j = job.get();
  j->file = std::fopen(path.c_str(), "rb");
  if (!j->file) return fail(error, "cannot read " + path + ": " + std::strerror(errno));
  png_byte signature[8];
  if (std::fread(signature, 1, 8, j->file) != 8 || png_sig_cmp(signature, 0, 8) != 0)
    return fail(error, "cannot read " + path + ": not a PNG file");
  j->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, j, onError, onWarning);
  if (j->png) j->info = png_create_info_struct(j->png);
  if (!j->png || !j->info) return fail(error, "cannot read " + path + ": out of memory");
  png_uint_32 width = 0, height = 0;
  if (setjmp(png_jmpbuf(j->png)) != 0) return fail(error, "cannot read " + path + ": " + j->error);
  png_init_io(j->png, j->file);
  png_set_sig_bytes(j->png, 8);
  png_set_user_limits(j->png, kMaxSide, kMaxSide);
  png_read_info(j->png, j->info);
  // Whatever the file holds, read it as 8-bit RGBA.
  png_set_expand(j->png);
  png_set_strip_16(j->png);
  png_set_gray_to_rgb(j->png);
  png_set_add_alpha(j->png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(j->png);
  png_read_update_info(j->png, j->info);
  width = png_get_image_width(j->png, j->info);
  height = png_get_image_height(j->png, j->info);
  if (png_get_rowbytes(j->png, j->info) != static_cast<size_t>(width) * 4)
    return fail(error, "cannot read " + path + ": unexpected pixel layout");
  j->rows.resize(static_cast<size_t>(width) * 4 * height);
  j->rowPointers.resize(height);
  for (png_uint_32 row = 0; row < height; ++row) j->rowPointers[row] = &j->rows[static_cast<size_t>(row) * width * 4];
  png_read_image(j->png, j->rowPointers.data());
  png_read_end(j->png, nullptr);

  image.width = width;
  image.height = height;
  image.pixels.resize(static_cast<size_t>(width) * height);
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    const uint8_t* in = &j->rows[i * 4];
    image.pixels[i] = uint32_t{in[3]} << 24 | uint32_t{in[0]} << 16 | uint32_t{in[1]} << 8 | in[2];
  }
  return true;
}

}  // namespace emu
