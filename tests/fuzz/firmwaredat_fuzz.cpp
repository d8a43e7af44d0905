// LoadFirmwareDat and the key translation on random description files. A
// loaded image must hold its header and every record it claims; the walk over
// the records and the hook must stay inside it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "lib/firmware/fwaccess.h"
#include "lib/firmware/keytranslate.h"

#define DAT_CHECK(c)                                                        \
  do {                                                                      \
    if (!(c)) {                                                             \
      std::fprintf(stderr, "check failed: %s (line %d)\n", #c, __LINE__); \
      std::abort();                                                         \
    }                                                                       \
  } while (0)

namespace {

uint32_t handler(uint32_t event, uint32_t param1, uint32_t param2) { return param1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::receiver();
  std::FILE* f = std::fopen("/mnt/hd/ProgramFiles/Settings/FirmwareTMS.dat", "wb");
  DAT_CHECK(f != nullptr);
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  uint8_t *header = nullptr, *records = nullptr, *tail = nullptr;
  bool loaded = LoadFirmwareDat(&header, &records, &tail);
  if (loaded) {
    DAT_CHECK(size >= FWDAT_HeaderSize && FWDATSize == size);
    DAT_CHECK(records == header + FWDAT_HeaderSize && tail >= records && tail <= header + size);
  } else {
    DAT_CHECK(FWDATBin == nullptr);
  }

  TapTableEntry& slot = emu::tapTable()[emu::config().tapSlot];
  slot.eventHandler = handler;
  RemoteType = 1;
  DAT_CHECK(KeyTranslate(true, handler) == 1);
  for (uint32_t key = 0x10020; key <= 0x1004A; ++key) DAT_CHECK(slot.eventHandler(EVT_KEY, key, 0) == key);
  DAT_CHECK(KeyTranslate(false, handler) == 1);

  // Start the next input from an empty cache.
  if (FWDATBin != nullptr) TAP_MemFree(FWDATBin);
  FWDATBin = nullptr;
  FWDATSize = 0;
  DAT_CHECK(emu::liveBlocks() == 0);
  return 0;
}
