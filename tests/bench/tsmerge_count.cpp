// Merges a picture's transport stream with a rendition's sound as the TAP
// does, or copies the picture as a plain `cat` append does, for an outside
// instruction counter: scripts/tsmerge-mips-insns.sh runs it for the
// receiver's MIPS under qemu-mipsel and compares the two per megabyte.
//   tsmerge_count merge|copy|none VIDEO SOUND OUT
// "none" opens the files and does nothing else: the start-up that the
// other two share.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/ChunkToTs.h"
#include "tests/bench/count_support.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: tsmerge_count merge|copy|none VIDEO SOUND OUT\n");
    return 2;
  }
  int video = open(argv[2], O_RDONLY);
  int sound = open(argv[3], O_RDONLY);
  int out = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (video < 0 || sound < 0 || out < 0) return 1;
  bool ok = true;
  static TsMerge merge;
  if (std::strcmp(argv[1], "merge") == 0) {
    TsMergeReset(&merge);
    ok = MergeSoundTs(video, sound, out, &merge);
  } else if (std::strcmp(argv[1], "copy") == 0) {
    ok = count_support::Copy(video, out) && count_support::Copy(sound, out);
  }
  close(video);
  close(sound);
  return close(out) == 0 && ok ? 0 : 1;
}
