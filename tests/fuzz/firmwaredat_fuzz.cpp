// LoadFirmwareDat and the key translation on random description files. A
// loaded image must hold its header and every record it claims; the walk over
// the records and the hook must stay inside it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "lib/firmware/fwaccess.h"
#include "lib/firmware/keytranslate.h"

namespace {

uint32_t handler(uint32_t, uint32_t param1, uint32_t) { return param1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::receiver();
  std::FILE* f = std::fopen("/mnt/hd/ProgramFiles/Settings/FirmwareTMS.dat", "wb");
  FUZZ_CHECK(f != nullptr);
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  uint8_t *header = nullptr, *records = nullptr, *tail = nullptr;
  bool loaded = LoadFirmwareDat(&header, &records, &tail);
  if (loaded) {
    FUZZ_CHECK(size >= FWDAT_HeaderSize && FWDATSize == size);
    FUZZ_CHECK(records == header + FWDAT_HeaderSize && tail >= records && tail <= header + size);
  } else {
    FUZZ_CHECK(FWDATBin == nullptr);
  }

  TapTableEntry& slot = emu::tapTable()[emu::config().tapSlot];
  slot.eventHandler = handler;
  RemoteType = 1;
  FUZZ_CHECK(KeyTranslate(true, handler) == 1);
  for (uint32_t key = 0x10020; key <= 0x1004A; ++key) FUZZ_CHECK(slot.eventHandler(EVT_KEY, key, 0) == key);
  FUZZ_CHECK(KeyTranslate(false, handler) == 1);

  // Start the next input from an empty cache.
  if (FWDATBin != nullptr) TAP_MemFree(FWDATBin);
  FWDATBin = nullptr;
  FWDATSize = 0;
  FUZZ_CHECK(emu::liveBlocks() == 0);
  return 0;
}
