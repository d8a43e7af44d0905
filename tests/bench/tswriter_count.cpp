// Converts a packed audio file to transport stream as the TAP does, or
// copies it as a plain `cat` append does, for an outside instruction
// counter: scripts/tswriter-mips-insns.sh runs it for the receiver's MIPS
// under qemu-mipsel and compares the two per megabyte.
//   tswriter_count convert|copy|none IN OUT
// "none" opens the files and does nothing else: the start-up that the
// other two share.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <cstdlib>

#include "app/ChunkToTs.h"
#include "platform/tap.h"
#include "tests/bench/count_support.h"

namespace {

TsConversion conversion;
}  // namespace

void ChunkToTsReset(TsConversion* c) {
  TsWriterReset(&c->ts);
  c->audioNext = -1;
  c->audioTicks = 0;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: tswriter_count convert|copy|none IN OUT\n");
    return 2;
  }
  int in = open(argv[2], O_RDONLY);
  int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) return 1;
  bool ok = true;
  if (std::strcmp(argv[1], "convert") == 0) {
    ChunkToTsReset(&conversion);
    ok = PackedAudioToTs(in, out, &conversion);
  } else if (std::strcmp(argv[1], "copy") == 0) {
    ok = count_support::Copy(in, out);
  }
  close(in);
  return close(out) == 0 && ok ? 0 : 1;
}
