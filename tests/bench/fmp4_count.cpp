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

// The receiver's allocator, as the converter reaches it.
void* (*TAP_MemAlloc)(uint32_t size) = [](uint32_t size) { return std::malloc(size); };
int (*TAP_MemFree)(const void* block) = [](const void* block) {
  std::free(const_cast<void*>(block));
  return 1;
};

namespace {

TsWriter writer;
mp4::Init init;
uint8_t initData[64 * 1024];
char block[128 * 1024];  // what cat reads and writes at a time

bool Copy(int in, int out) {
  for (;;) {
    ssize_t n = read(in, block, sizeof block);
    if (n == 0) return true;
    if (n < 0 || write(out, block, static_cast<size_t>(n)) != n) return false;
  }
}

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
    ok = Copy(in, out);
  }
  close(in);
  return close(out) == 0 && ok ? 0 : 1;
}
