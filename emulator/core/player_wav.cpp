// The player's decoded audio as a WAV file (16-bit PCM, stereo, 48 kHz).
#include <cerrno>
#include <cstring>

#include "core/player_internal.h"

namespace emu::detail {
namespace {

void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

WavWriter::~WavWriter() {
  if (file_) std::fclose(file_);
}

bool WavWriter::open(const std::string& path, std::string* error) {
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) {
    if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  dataBytes_ = 0;
  patchHeader();
  return true;
}

void WavWriter::write(const int16_t* samples, size_t frames, int64_t) {
  if (!file_ || frames == 0) return;
  // WAV sizes are 32-bit: stop well before they would wrap.
  if (dataBytes_ + frames * 4 > 0xFFFFFF00u - 44) return;
  dataBytes_ += std::fwrite(samples, 4, frames, file_) * 4;
  patchHeader();
}

void WavWriter::patchHeader() {
  uint8_t h[44];
  std::memcpy(h, "RIFF", 4);
  put32(h + 4, static_cast<uint32_t>(36 + dataBytes_));
  std::memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 16);
  put16(h + 20, 1);  // PCM
  put16(h + 22, 2);
  put32(h + 24, kRate);
  put32(h + 28, kRate * 4);
  put16(h + 32, 4);
  put16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  put32(h + 40, static_cast<uint32_t>(dataBytes_));
  long end = static_cast<long>(44 + dataBytes_);
  std::fseek(file_, 0, SEEK_SET);
  std::fwrite(h, 1, sizeof h, file_);
  std::fseek(file_, end, SEEK_SET);
  std::fflush(file_);
}

}  // namespace emu::detail
