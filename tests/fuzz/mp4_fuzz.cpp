// Fragmented MP4 on random input: the init segment's reader and the media
// segment's conversion to TS. The input is the init's length (4 bytes,
// big-endian), the init, then the media segment. An init that cannot be read
// is replaced by one of an H.264 and an AAC track, so every input reaches
// the fragment reader. Whatever comes in, what goes out is whole TS packets.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "app/Mp4.h"
#include "app/TsWriter.h"
#include "fuzz_support.h"

namespace {

// An init of two tracks, as ReadInit would make it.
void DefaultInit(mp4::Init* init) {
  std::memset(init, 0, sizeof *init);
  init->trackCount = 2;
  mp4::Track& v = init->track[0];
  v.id = 1;
  v.timescale = 90000;
  v.kind = mp4::TRACK_H264;
  v.lengthSize = 4;
  const uint8_t sps[] = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x0A, 0, 0, 0, 1, 0x68, 0xCE};
  std::memcpy(v.parameters, sps, sizeof sps);
  v.parameterSize = sizeof sps;
  mp4::Track& a = init->track[1];
  a.id = 2;
  a.timescale = 48000;
  a.kind = mp4::TRACK_AAC;
  a.adts[0] = 0x50;
  a.adts[1] = 0x80;
}

int MemoryFile(const uint8_t* data, size_t size) {
  int fd = memfd_create("mp4_fuzz", 0);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(size == 0 || write(fd, data, size) == static_cast<ssize_t>(size));
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::receiver();
  if (size < 4) return 0;
  size_t initSize = mp4::Be32(data);
  if (initSize > size - 4) initSize = size - 4;
  const uint8_t* initData = data + 4;
  const uint8_t* media = initData + initSize;
  size_t mediaSize = size - 4 - initSize;

  static mp4::Init init;
  mp4::InitResult r = mp4::ReadInit(initData, initSize, &init);
  if (r == mp4::INIT_OK) {
    FUZZ_CHECK(init.trackCount >= 1 && init.trackCount <= mp4::InitTracks);
    for (uint32_t i = 0; i < init.trackCount; ++i) {
      const mp4::Track& t = init.track[i];
      FUZZ_CHECK(t.timescale > 0 && t.kind != mp4::TRACK_NONE);
      FUZZ_CHECK(t.parameterSize <= mp4::ParameterBytes);
      if (t.kind == mp4::TRACK_H264) FUZZ_CHECK(t.lengthSize == 1 || t.lengthSize == 2 || t.lengthSize == 4);
      FUZZ_CHECK(t.shift >= 0 && t.shift <= mp4::TimeLead);
    }
  } else {
    DefaultInit(&init);
  }

  int in = MemoryFile(media, mediaSize);
  int out = memfd_create("mp4_fuzz_ts", 0);
  FUZZ_CHECK(out >= 0);
  static TsWriter w;
  TsWriterReset(&w);
  mp4::ConvertResult c = mp4::Fmp4ToTs(in, init, &w, out);
  FUZZ_CHECK(c != mp4::CONVERT_WRITE_FAILED && c != mp4::CONVERT_NO_MEMORY);
  off_t written = lseek(out, 0, SEEK_END);
  FUZZ_CHECK(written >= 0 && written % TsPacketSize == 0);
  // Every packet opens with the sync byte.
  uint8_t packet[TsPacketSize];
  for (off_t at = 0; at < written; at += TsPacketSize) {
    FUZZ_CHECK(pread(out, packet, sizeof packet, at) == static_cast<ssize_t>(sizeof packet));
    FUZZ_CHECK(packet[0] == 0x47);
  }
  close(in);
  close(out);
  return 0;
}
