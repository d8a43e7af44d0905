#include <cstring>

#include "lib/firmware/fwaccess.h"
#include "lib/firmware/keytranslate.h"

int32_t RemoteType = 1;

namespace {

void ReadRemoteType() {
  uint8_t* header = nullptr;
  uint8_t* records = nullptr;
  if (!LoadFirmwareDat(&header, &records, nullptr)) return;
  uint32_t count;
  memcpy(&count, header + FWDAT_CountOffset, sizeof count);
  // Compare as the model number: the low 16 bits of the system id.
  uint16_t sysId = GetSysID();
  for (uint32_t i = 0; i < count; i++) {
    const uint8_t* rec = records + static_cast<size_t>(i) * FWDAT_RecordSize;
    uint16_t id;
    memcpy(&id, rec + FWDAT_SystemIdOffset, sizeof id);
    if (id == sysId) {
      memcpy(&RemoteType, rec + FWDAT_RemoteTypeOffset, sizeof RemoteType);
      return;
    }
  }
}

}  // namespace

int32_t KeyTranslate(bool enable, TAP_EventHandlerFunction handler) {
  ReadRemoteType();

  TapTableEntry* table = FIS_vTAPTable();
  if (table == nullptr) return 0;
  if (TAP_TableIndex == -1) {
    int32_t* cur = FIS_vCurTapTask();
    // An index outside the table would write into foreign memory.
    if (cur == nullptr || *cur < 0 || *cur >= TAP_TableSize) return -3;
    TAP_TableIndex = *cur;
  }

  TapTableEntry& slot = table[TAP_TableIndex];
  if (enable) {
    if (slot.eventHandler != handler) return 0;
    Original_TAP_EventHandler = slot.eventHandler;
    slot.eventHandler = KeyTranslateHook;
  } else {
    if (slot.eventHandler != KeyTranslateHook) return 0;
    slot.eventHandler = Original_TAP_EventHandler;
    Original_TAP_EventHandler = nullptr;
  }
  return 1;
}
