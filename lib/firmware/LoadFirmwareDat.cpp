#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "lib/files/files.h"
#include "lib/firmware/keytranslate.h"

uint8_t* FWDATBin = nullptr;
uint32_t FWDATSize = 0;

namespace {

uint32_t Word(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void Discard() {
  if (FWDATBin != nullptr) TAP_MemFree(FWDATBin);
  FWDATBin = nullptr;
  FWDATSize = 0;
}

// Reads all of `size` bytes, across short reads.
bool ReadAll(int fd, uint8_t* into, uint32_t size) {
  while (size > 0) {
    ssize_t got = read(fd, into, size);
    if (got <= 0) return false;
    into += got;
    size -= static_cast<uint32_t>(got);
  }
  return true;
}

bool ReadImage() {
  char path[256];
  snprintf(path, sizeof path, "%s/ProgramFiles/Settings/%s", "/mnt/hd", "FirmwareTMS.dat");
  if (!StatPath(path, false, nullptr)) {
    snprintf(path, sizeof path, "%s/ProgramFiles/%s", "/mnt/hd", "FirmwareTMS.dat");
    if (!StatPath(path, false, nullptr)) return false;
  }
  int fd = open(path, O_RDONLY);
  if (fd < 0) return false;
  // The size of what was opened, not of a link in front of it.
  FileFacts file;
  if (!StatOpenFile(fd, &file) || file.size < FWDAT_HeaderSize || file.size > UINT32_MAX) {
    close(fd);
    return false;
  }
  uint32_t size = static_cast<uint32_t>(file.size);
  FWDATBin = static_cast<uint8_t*>(TAP_MemAlloc(size));
  if (FWDATBin == nullptr) {
    close(fd);
    return false;
  }
  FWDATSize = size;
  bool whole = ReadAll(fd, FWDATBin, size);
  close(fd);
  if (!whole) return false;

  if (Word(FWDATBin) != FWDAT_Magic || Word(FWDATBin + FWDAT_ZeroOffset) != 0) return false;
  // Records that would lie beyond the end of the file make the image invalid.
  return FWDAT_TailOffset(Word(FWDATBin + FWDAT_CountOffset)) <= size;
}

}  // namespace

bool LoadFirmwareDat(uint8_t** header, uint8_t** records, uint8_t** tail) {
  if (FWDATBin == nullptr && !ReadImage()) {
    Discard();
    return false;
  }
  if (header != nullptr) *header = FWDATBin;
  if (records != nullptr) *records = FWDATBin + FWDAT_HeaderSize;
  if (tail != nullptr) *tail = FWDATBin + FWDAT_TailOffset(Word(FWDATBin + FWDAT_CountOffset));
  return true;
}
