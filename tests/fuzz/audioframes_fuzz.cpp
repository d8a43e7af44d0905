// Packed audio on random and mutated input: the frame header reader at every
// offset of an exact-size copy (so ASan sees any read past it), then the
// whole conversion of the input as a chunk, whose output must be whole
// transport stream packets that carry no more sound than came in.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/ChunkToTs.h"
#include "fuzz_support.h"

namespace {

void CheckHeaders(const uint8_t* data, size_t size) {
  for (size_t at = 0; at < size; ++at) {
    AudioFrame f;
    if (!AudioFrameAt(data + at, size - at, &f)) continue;
    FUZZ_CHECK(f.codec == TS_AAC || f.codec == TS_MPEG_AUDIO || f.codec == TS_MPEG2_AUDIO || f.codec == TS_AC3);
    FUZZ_CHECK(f.length >= 4 && f.length <= 8191);
    FUZZ_CHECK(f.samples >= 384 && f.samples <= 4096);
    FUZZ_CHECK(f.rate >= 7350 && f.rate <= 96000);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::receiver();  // TAP_MemAlloc
  std::vector<uint8_t> copy(data, data + size);
  CheckHeaders(copy.data(), copy.size());

  int in = memfd_create("chunk", 0);
  int out = memfd_create("ts", 0);
  FUZZ_CHECK(in >= 0 && out >= 0);
  FUZZ_CHECK(write(in, data, size) == static_cast<ssize_t>(size));
  FUZZ_CHECK(lseek(in, 0, SEEK_SET) == 0);
  static TsConversion c;
  ChunkToTsReset(&c);
  bool ok = PackedAudioToTs(in, out, &c);
  off_t written = lseek(out, 0, SEEK_END);
  FUZZ_CHECK(written >= 0 && written % 188 == 0);
  FUZZ_CHECK(ok == (written > 0));
  std::vector<uint8_t> ts(static_cast<size_t>(written));
  FUZZ_CHECK(pread(out, ts.data(), ts.size(), 0) == written);
  size_t payload = 0;
  for (size_t at = 0; at < ts.size(); at += 188) {
    FUZZ_CHECK(ts[at] == 0x47);
    uint16_t pid = static_cast<uint16_t>(((ts[at + 1] & 0x1F) << 8) | ts[at + 2]);
    size_t skip = (ts[at + 3] & 0x20) != 0 ? 1u + ts[at + 4] : 0u;
    FUZZ_CHECK(skip <= 184);
    if (pid == 0x101) payload += 184 - skip;
  }
  // The sound, each PES header of up to 14 bytes, and nothing else.
  FUZZ_CHECK(payload <= size + 14 * (size / 4 + 1));
  if (ok) FUZZ_CHECK(c.audioNext >= 0 && c.audioTicks > 0);
  close(in);
  close(out);
  return 0;
}
