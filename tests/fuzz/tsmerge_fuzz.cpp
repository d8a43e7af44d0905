// The merge of a picture's transport stream with a rendition's sound, on
// random and mutated input: the first byte says where the picture's bytes
// end (in packets) and the sound's begin. The output must be whole packets
// of the merge's own four PIDs, each PID's counter moving on by one with
// each payload, and no more packets than came in beside the merge's maps.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/ChunkToTs.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::receiver();  // TAP_MemAlloc
  if (size == 0) return 0;
  size_t split = static_cast<size_t>(data[0]) * 188;
  if (split > size - 1) split = size - 1;
  int video = memfd_create("video", 0);
  int sound = memfd_create("sound", 0);
  int out = memfd_create("ts", 0);
  FUZZ_CHECK(video >= 0 && sound >= 0 && out >= 0);
  FUZZ_CHECK(write(video, data + 1, split) == static_cast<ssize_t>(split));
  FUZZ_CHECK(write(sound, data + 1 + split, size - 1 - split) == static_cast<ssize_t>(size - 1 - split));
  FUZZ_CHECK(lseek(video, 0, SEEK_SET) == 0 && lseek(sound, 0, SEEK_SET) == 0);
  static TsMerge m;
  TsMergeReset(&m);
  bool ok = MergeSoundTs(video, sound, out, &m);
  off_t written = lseek(out, 0, SEEK_END);
  FUZZ_CHECK(written >= 0 && written % 188 == 0);
  if (!ok) FUZZ_CHECK(m.video == TS_NONE || written >= 0);
  std::vector<uint8_t> ts(static_cast<size_t>(written));
  FUZZ_CHECK(pread(out, ts.data(), ts.size(), 0) == written);
  int last[4] = {-1, -1, -1, -1};
  size_t tables = 0;
  for (size_t at = 0; at < ts.size(); at += 188) {
    const uint8_t* p = ts.data() + at;
    FUZZ_CHECK(p[0] == 0x47);
    uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
    int track = pid == 0 ? 0 : pid == 0x1000 ? 1 : pid == 0x100 ? 2 : pid == 0x101 ? 3 : -1;
    FUZZ_CHECK(track >= 0);
    if (track <= 1) ++tables;
    if ((p[3] & 0x10) == 0) continue;
    int cc = p[3] & 0x0F;
    if (last[track] >= 0) FUZZ_CHECK(cc == ((last[track] + 1) & 0x0F));
    last[track] = cc;
  }
  FUZZ_CHECK(ts.size() / 188 <= (size - 1) / 188 + tables);
  close(video);
  close(sound);
  close(out);
  return 0;
}
