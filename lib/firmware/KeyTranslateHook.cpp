#include "lib/firmware/keytranslate.h"

TAP_EventHandlerFunction Original_TAP_EventHandler = nullptr;

namespace {

struct KeyPair {
  uint32_t from, to;
};

// Applied once: only the pairs 0x10024/0x10048 and 0x1003F/0x10047 swap.
constexpr KeyPair kRemoteType2[] = {
    {0x10024, 0x10048}, {0x10025, 0x10045}, {0x10026, 0x10046}, {0x1003E, 0x10049}, {0x1003F, 0x10047},
    {0x10045, 0x10044}, {0x10047, 0x1003F}, {0x10048, 0x10024}, {0x10049, 0x10025}, {0x1004A, 0x10026},
};

uint32_t Translate(uint32_t code) {
  if (RemoteType == 2) {
    for (const KeyPair& k : kRemoteType2)
      if (k.from == code) return k.to;
  } else if (RemoteType == 3 && code == 0x10023) {
    return 0x1003F;
  }
  return code;
}

}  // namespace

uint32_t KeyTranslateHook(uint32_t event, uint32_t param1, uint32_t param2) {
  TAP_EventHandlerFunction handler = Original_TAP_EventHandler;
  if (handler == nullptr) return param1;
  uint32_t evt = event & 0xFFFF;
  if (evt != EVT_KEY) return handler(evt, param1, param2);

  uint32_t code = param1 & RKEY_CodeMask;
  uint32_t flags = param1 & RKEY_FlagMask;
  if (handler(EVT_KEY, Translate(code) | flags, param2) == 0) return 0;
  return param1;
}
