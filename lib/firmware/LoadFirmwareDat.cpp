#include <sys/stat.h>

#include <cstdio>
#include <cstring>

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

bool ReadImage() {
  char path[256];
  struct stat64 st;
  snprintf(path, sizeof path, "%s/ProgramFiles/Settings/%s", "/mnt/hd", "FirmwareTMS.dat");
  if (lstat64(path, &st) != 0) {
    snprintf(path, sizeof path, "%s/ProgramFiles/%s", "/mnt/hd", "FirmwareTMS.dat");
    if (lstat64(path, &st) != 0) return false;
  }
  FILE* f = fopen(path, "r");
  if (f == nullptr) return false;
  // The size of what was opened, not of a link in front of it.
  if (fstat64(fileno(f), &st) != 0 || st.st_size < static_cast<off64_t>(FWDAT_HeaderSize) ||
      st.st_size > static_cast<off64_t>(UINT32_MAX)) {
    fclose(f);
    return false;
  }
  uint32_t size = static_cast<uint32_t>(st.st_size);
  FWDATBin = static_cast<uint8_t*>(TAP_MemAlloc(size));
  if (FWDATBin == nullptr) {
    fclose(f);
    return false;
  }
  FWDATSize = size;
  size_t items = fread(FWDATBin, size, 1, f);
  fclose(f);
  if (items != 1) return false;

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
