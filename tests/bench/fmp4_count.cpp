// Converts an fMP4 media segment to transport stream as the TAP does, or
// copies it as a plain `cat` append does, for an outside instruction
// counter: scripts/fmp4-mips-insns.sh runs it for the receiver's MIPS under
// qemu-mipsel and compares the two per megabyte.
//   fmp4_count convert|copy|none INIT SEGMENT OUT
// "none" opens the files and reads the init segment, nothing else: the
// start-up that the other two share.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Mp4.h"
#include "platform/tap.h"
#include "tests/bench/count_support.h"

namespace {

TsWriter writer;
mp4::Init init;
uint8_t initData[64 * 1024];
}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: fmp4_count convert|copy|none INIT SEGMENT OUT\n");
    return 2;
  }
  int initFd = open(argv[2], O_RDONLY);
  int in = open(argv[3], O_RDONLY);
  int out = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (initFd < 0 || in < 0 || out < 0) return 1;
  ssize_t initSize = read(initFd, initData, sizeof initData);
  close(initFd);
  if (initSize <= 0 || mp4::ReadInit(initData, static_cast<size_t>(initSize), &init) != mp4::INIT_OK) return 1;
  bool ok = true;
  if (std::strcmp(argv[1], "convert") == 0) {
    TsWriterReset(&writer);
    ok = mp4::Fmp4ToTs(in, init, &writer, out) == mp4::CONVERT_OK;
  } else if (std::strcmp(argv[1], "copy") == 0) {
    ok = count_support::Copy(in, out);
  }
  close(in);
  return close(out) == 0 && ok ? 0 : 1;
}
